// The readings plot with its buttons and the readout between the cursors.
#pragma once

#include "recorder/reading_log.h"

#include <QTimer>
#include <QWidget>

#include <functional>

class QLabel;
class QPushButton;

namespace lqs {

class ReadingsPlot;

class ReadingsWindow : public QWidget {
    Q_OBJECT
public:
    explicit ReadingsWindow(const ReadingLog* log, QWidget* parent = nullptr);

    ReadingsPlot* plot() const { return m_plot; }
    // Where Export Between Cursors writes; empty cancels. A file dialog unless replaced.
    std::function<QString()> chooseExportPath;

    // The readout's text for the cursors at a and b (ms since the start).
    static QString readoutText(const ReadingLog& log, qint64 a, qint64 b);

    static constexpr int kRepaintMs = 100;

public Q_SLOTS:
    // Readings were added to the log: the plot is repainted within kRepaintMs.
    void readingsAdded();
    void exportBetweenCursors();

private:
    void refresh();
    void updateReadout();

    const ReadingLog* m_log;
    ReadingsPlot* m_plot;
    QLabel* m_readout;
    QLabel* m_dropNotice;
    QPushButton* m_fit;
    QPushButton* m_follow;
    QPushButton* m_export;
    QTimer m_repaint;
    // What the readout was last worked out from.
    qint64 m_readoutLastMs = 0;
    qint64 m_readoutDropped = 0;
};

}  // namespace lqs
