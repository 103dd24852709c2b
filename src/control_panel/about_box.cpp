#include "control_panel/about_box.h"

#include "ui_about_box.h"

#include "common/dialog_flags.h"

#include "control_panel/toolbar_icons.h"

namespace lqs {

// The project's version, 11.9.2.1, as the box has always written it: 11.09.02.01.
QString TForm2::versionCaption(const QString& version) {
    const QStringList parts = version.split(QLatin1Char('.'));
    QString text = QStringLiteral("Version:") + parts.value(0);
    for (qsizetype i = 1; i < parts.size(); ++i)
        text += QLatin1Char('.') + parts[i].rightJustified(2, QLatin1Char('0'));
    return text;
}

TForm2::TForm2(QWidget* parent) : QDialog(parent, kFixedDialogFlags), ui(new Ui::TForm2) {
    ui->setupUi(this);
    // The version comes from the build, the picture is drawn by the program.
    ui->Label2->setText(versionCaption(QStringLiteral(LQS_VERSION)));
    ui->Image1->setPixmap(icons::linked().pixmap(32, 32));
    connect(this, &QDialog::finished, this, &TForm2::dialogClosed);
    connect(ui->Button1, &QPushButton::clicked, this, &TForm2::close);
}

TForm2::~TForm2() = default;

void TForm2::showCaption(const QString& caption) {
    ui->Image1->hide();
    ui->Label1->setText(caption);
}

}  // namespace lqs
