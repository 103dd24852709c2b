// TMessages: the box shown after a lost reply; closing it stands the program down.
#pragma once

#include <QDialog>

#include <memory>

namespace lqs {

namespace Ui {
class TMessages;
}

class TMessages : public QDialog {
    Q_OBJECT
public:
    explicit TMessages(QWidget* parent = nullptr);
    ~TMessages() override;

Q_SIGNALS:
    void dialogClosed();

private:
    std::unique_ptr<Ui::TMessages> ui;
};

}  // namespace lqs
