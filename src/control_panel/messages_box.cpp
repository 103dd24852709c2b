#include "control_panel/messages_box.h"

#include "ui_messages_box.h"

#include "common/dialog_flags.h"

namespace lqs {

TMessages::TMessages(QWidget* parent) : QDialog(parent, kFixedDialogFlags), ui(new Ui::TMessages) {
    ui->setupUi(this);
    connect(this, &QDialog::finished, this, &TMessages::dialogClosed);
    connect(ui->Button1, &QPushButton::clicked, this, &TMessages::close);
}

TMessages::~TMessages() = default;

}  // namespace lqs
