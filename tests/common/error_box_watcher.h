// Catches the program's error box when it appears, records what it showed and
// presses its OK button, so code that raises the box can run headless.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

namespace lqs::test {

class ErrorBoxWatcher : public QObject {
public:
    struct Seen {
        QString text;
        QString title;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        int buttonCount = 0;
        bool okButton = false;
        bool modalWhenShown = false;  // the box was the active modal widget
    };

    ErrorBoxWatcher() { qApp->installEventFilter(this); }
    ~ErrorBoxWatcher() override { qApp->removeEventFilter(this); }

    QList<Seen> seen;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && watched->objectName() == QLatin1String("errorBox")) {
            if (auto* box = qobject_cast<QMessageBox*>(watched)) record(box);
        }
        return false;
    }

private:
    void record(QMessageBox* box) {
        Seen s;
        s.text = box->text();
        s.title = box->windowTitle();
        s.icon = box->icon();
        s.buttonCount = int(box->buttons().size());
        s.okButton = box->button(QMessageBox::Ok) != nullptr;
        seen.append(s);
        const int index = int(seen.size()) - 1;
        // The box's own event loop runs this; the user presses OK.
        QPointer<QMessageBox> p(box);
        QTimer::singleShot(0, this, [this, p, index] {
            if (!p) return;
            seen[index].modalWhenShown = QApplication::activeModalWidget() == p.data();
            if (QAbstractButton* ok = p->button(QMessageBox::Ok))
                ok->click();
            else
                p->reject();
        });
    }
};

}  // namespace lqs::test
