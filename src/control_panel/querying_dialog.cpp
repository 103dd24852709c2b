#include "control_panel/querying_dialog.h"

#include "common/dialog_flags.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

namespace lqs {

TQuerying::TQuerying(QWidget* parent)
    : QDialog(parent, kFixedDialogFlags),
      Label1(new QLabel(QStringLiteral("Now querying initial values,please wait..."), this)),
      Label2(new QLabel(QStringLiteral("Remaining 60 seconds!"), this)),
      Button1(new QPushButton(QStringLiteral("Cancel"), this)),
      ProgressBar1(new QProgressBar(this)) {
    setObjectName(QStringLiteral("Querying"));
    setWindowTitle(QStringLiteral("Querying"));
    connect(this, &QDialog::finished, this, &TQuerying::dialogClosed);
    setFixedSize(320, 112);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label2->setObjectName(QStringLiteral("Label2"));
    Button1->setObjectName(QStringLiteral("Button1"));
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    Label1->setGeometry(16, 14, 290, 18);
    Label2->setGeometry(16, 40, 200, 18);
    Button1->setGeometry(232, 36, 75, 25);
    ProgressBar1->setGeometry(0, 94, 320, 18);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    connect(Button1, &QPushButton::clicked, this, &QWidget::close);
}

void TQuerying::showProgress(int position, const QString& remaining) {
    ProgressBar1->setValue(position);
    if (!remaining.isNull()) Label2->setText(remaining);
}

}  // namespace lqs
