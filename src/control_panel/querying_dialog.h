// TQuerying: progress of a query sequence, and the countdown after a lost reply.
#pragma once

#include <QDialog>

class QLabel;
class QProgressBar;
class QPushButton;

namespace lqs {

class TQuerying : public QDialog {
    Q_OBJECT
public:
    explicit TQuerying(QWidget* parent = nullptr);

    QLabel* Label1;
    QLabel* Label2;
    QPushButton* Button1;
    QProgressBar* ProgressBar1;

    // Where the sequence stands; a null text leaves the remaining time as it is.
    void showProgress(int position, const QString& remaining);

Q_SIGNALS:
    // Every way of closing: a button, the close box, Esc.
    void dialogClosed();
};

}  // namespace lqs
