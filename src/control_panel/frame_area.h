// The main window's client area between toolbar and status bar. Its children
// (the control panel and the recorder window) each fill all of it; the panel
// is kept on top, so the recorder shows only while the panel is hidden.
#pragma once

#include <QChildEvent>
#include <QWidget>

namespace lqs {

// Q_OBJECT so that qobject_cast and findChild tell it from any other widget.
class FrameArea : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;

protected:
    void resizeEvent(QResizeEvent*) override {
        for (QObject* o : children()) {
            if (auto* w = qobject_cast<QWidget*>(o)) w->setGeometry(rect());
        }
    }
    void childEvent(QChildEvent* e) override {
        QWidget::childEvent(e);
        if (e->added()) {
            if (auto* w = qobject_cast<QWidget*>(e->child())) w->setGeometry(rect());
        }
    }
};

}  // namespace lqs
