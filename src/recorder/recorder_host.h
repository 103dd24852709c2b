// What the recorder needs of the main window.
#pragma once

#include <QString>
#include <QStringList>

namespace lqs {

class RecorderHost {
public:
    virtual ~RecorderHost() = default;
    // The four measured-value texts: channel 1 V, A, channel 2 V, A; empty
    // for a reading that is not current.
    virtual QStringList readingTexts() const = 0;
    // The output button's caption, "ON" or "OFF".
    virtual QString outputCaption() const = 0;
    virtual void showControlPanel() = 0;
    virtual void closeMainWindow() = 0;
    // Status bar panel 0 to 2.
    virtual void setStatusText(int panel, const QString& text) = 0;
};

}  // namespace lqs
