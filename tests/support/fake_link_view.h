// A stand-in for the main window, recording what the device link does to it.
#pragma once

#include "link_view.h"

#include <QStringList>
#include <QWidget>

#include <array>

namespace lqs::test {

class FakeLinkView : public LinkView {
public:
    std::array<QString, 9> fields;  // [1] .. [8]
    QString outputCaption = QStringLiteral("OFF");
    std::array<QString, 3> panels;
    QList<int> couplingSelections;
    int coupling = 1;
    bool frameEnabled = true;
    int saveClosed = 0;
    QString slot = QStringLiteral("1");
    int mainClosed = 0;
    int frameDisables = 0;
    QString linkText;
    bool linkedPicture = true;
    QWidget widget;

    QString fieldText(int edit) const override { return fields[std::size_t(edit)]; }
    void setFieldText(int edit, const QString& text) override { fields[std::size_t(edit)] = text; }
    void setOutputCaption(const QString& caption) override { outputCaption = caption; }
    void setStatusText(int panel, const QString& text) override { panels[std::size_t(panel)] = text; }
    void selectCoupling(int button) override {
        couplingSelections << button;
        coupling = button;
    }
    void setFrameEnabled(bool enabled) override {
        frameEnabled = enabled;
        if (!enabled) ++frameDisables;
    }
    void closeSaveDialog() override { ++saveClosed; }
    QString saveSlotText() const override { return slot; }
    void closeMainWindow() override { ++mainClosed; }
    QWidget* viewWidget() override { return &widget; }
    void setLinkText(const QString& text) override { linkText = text; }
    void setLinkedPicture(bool linked) override { linkedPicture = linked; }
};

}  // namespace lqs::test
