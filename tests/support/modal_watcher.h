// Answers modal boxes that code under test opens with exec(): each one that
// shows up is recorded once (title, text) and closed with its default button,
// at once or after it has stayed open for holdMs.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <algorithm>

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
    explicit ModalWatcher(std::function<QAbstractButton*(QMessageBox*)> answer = {})
        : m_answer(std::move(answer)) {
        m_timer.setInterval(10);
        connect(&m_timer, &QTimer::timeout, this, &ModalWatcher::check);
        m_timer.start();
    }

    QList<Seen> seen;
    int holdMs = 0;  // how long each box stays open before it is answered

private:
    struct Open {
        QPointer<QWidget> widget;
        QElapsedTimer since;
    };

    void check() {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal) return;
        m_open.removeIf([](const Open& o) { return o.widget.isNull() || !o.widget->isVisible(); });
        auto it = std::find_if(m_open.begin(), m_open.end(),
                               [modal](const Open& o) { return o.widget == modal; });
        if (it == m_open.end()) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            seen.append({modal->windowTitle(), box ? box->text() : QString(), modal->objectName()});
            Open opened{modal, {}};
            opened.since.start();
            m_open.append(opened);
            it = m_open.end() - 1;
        }
        if (it->since.elapsed() < holdMs) return;
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            QAbstractButton* button = m_answer ? m_answer(box) : nullptr;
            if (!button) button = box->defaultButton();
            if (!button && !box->buttons().isEmpty()) button = box->buttons().first();
            if (button) {
                button->click();
                return;
            }
        }
        modal->close();
    }

    std::function<QAbstractButton*(QMessageBox*)> m_answer;
    QList<Open> m_open;
    QTimer m_timer;
};

}  // namespace lqs::test
