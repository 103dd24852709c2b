// TQuerying: progress of a query sequence, and the countdown after a lost reply.
#pragma once

#include <QDialog>

#include <memory>

namespace lqs {

namespace Ui {
class TQuerying;
}

class TQuerying : public QDialog {
    Q_OBJECT
public:
    explicit TQuerying(QWidget* parent = nullptr);
    ~TQuerying() override;

    // Where the sequence stands; a null text leaves the remaining time as it is.
    void showProgress(int position, const QString& remaining);

Q_SIGNALS:
    // Every way of closing: a button, the close box, Esc.
    void dialogClosed();

private:
    std::unique_ptr<Ui::TQuerying> ui;
};

}  // namespace lqs
