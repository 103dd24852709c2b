#include "control_panel/querying_dialog.h"

#include "ui_querying_dialog.h"

#include "common/dialog_flags.h"

namespace lqs {

TQuerying::TQuerying(QWidget* parent) : QDialog(parent, kFixedDialogFlags), ui(new Ui::TQuerying) {
    ui->setupUi(this);
    connect(this, &QDialog::finished, this, &TQuerying::dialogClosed);
    connect(ui->Button1, &QPushButton::clicked, this, &QWidget::close);
}

TQuerying::~TQuerying() = default;

void TQuerying::showProgress(int position, const QString& remaining) {
    ui->ProgressBar1->setValue(position);
    if (!remaining.isNull()) ui->Label2->setText(remaining);
}

}  // namespace lqs
