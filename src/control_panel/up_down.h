// A pair of up/down arrows beside a field. The arrows repeat while held, as
// the platform's arrow controls do; each press or repeat is one step event.
// Mouse-down and mouse-up on either arrow are reported separately, once per hold.
#pragma once

#include <QWidget>

class QToolButton;

namespace lqs {

class TUpDown : public QWidget {
    Q_OBJECT
public:
    explicit TUpDown(QWidget* parent = nullptr);

    QToolButton* upButton() const { return m_up; }
    QToolButton* downButton() const { return m_down; }
    bool held() const { return m_held; }

    // Ends a hold as a release would, without a step: the arrow comes up, the
    // repeat stops and mouseUp is reported.
    void endHold();

Q_SIGNALS:
    void stepped(bool up);
    void mouseDown();
    void mouseUp();

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QToolButton* m_up;
    QToolButton* m_down;
    bool m_held = false;
};

}  // namespace lqs
