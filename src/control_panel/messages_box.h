// TMessages: the box shown after a lost reply; closing it ends the program.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace lqs {

class TMessages : public QDialog {
    Q_OBJECT
public:
    explicit TMessages(QWidget* parent = nullptr);

    QLabel* Label1;
    QPushButton* Button1;

Q_SIGNALS:
    void dialogClosed();
};

}  // namespace lqs
