// Answers modal boxes that code under test opens with exec(): each one that
// shows up is recorded (title, text) and closed with its default button.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <functional>

namespace lqs::test {

class ModalWatcher : public QObject {
public:
    struct Seen {
        QString title;
        QString text;
        QString objectName;
    };

    // answer picks the button to press; by default the box's default or first button.
    explicit ModalWatcher(std::function<QAbstractButton*(QMessageBox*)> answer = {}) : m_answer(std::move(answer)) {
        m_timer.setInterval(10);
        connect(&m_timer, &QTimer::timeout, this, &ModalWatcher::check);
        m_timer.start();
    }

    QList<Seen> seen;

private:
    void check() {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal) return;
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            seen.append({box->windowTitle(), box->text(), box->objectName()});
            QAbstractButton* button = m_answer ? m_answer(box) : nullptr;
            if (!button) button = box->defaultButton();
            if (!button && !box->buttons().isEmpty()) button = box->buttons().first();
            if (button) {
                button->click();
                return;
            }
        } else {
            seen.append({modal->windowTitle(), QString(), modal->objectName()});
        }
        modal->close();
    }

    std::function<QAbstractButton*(QMessageBox*)> m_answer;
    QTimer m_timer;
};

}  // namespace lqs::test
