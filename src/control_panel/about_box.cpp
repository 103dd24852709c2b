#include "control_panel/about_box.h"

#include "common/dialog_flags.h"

#include "control_panel/toolbar_icons.h"

#include <QLabel>
#include <QPushButton>

namespace lqs {

// The project's version, 11.9.2.1, as the box has always written it: 11.09.02.01.
QString TForm2::versionCaption(const QString& version) {
    const QStringList parts = version.split(QLatin1Char('.'));
    QString text = QStringLiteral("Version:") + parts.value(0);
    for (qsizetype i = 1; i < parts.size(); ++i)
        text += QLatin1Char('.') + parts[i].rightJustified(2, QLatin1Char('0'));
    return text;
}

TForm2::TForm2(QWidget* parent)
    : QDialog(parent, kFixedDialogFlags),
      Image1(new QLabel(this)),
      Label1(new QLabel(this)),
      Label2(new QLabel(versionCaption(QStringLiteral(LQS_VERSION)), this)),
      Button1(new QPushButton(QStringLiteral("OK"), this)) {
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("About"));
    connect(this, &QDialog::finished, this, &TForm2::dialogClosed);
    setFixedSize(360, 140);
    Image1->setObjectName(QStringLiteral("Image1"));
    Label1->setObjectName(QStringLiteral("Label1"));
    Label2->setObjectName(QStringLiteral("Label2"));
    Button1->setObjectName(QStringLiteral("Button1"));
    Image1->setPixmap(icons::linked().pixmap(32, 32));
    Image1->setGeometry(16, 16, 32, 32);
    Label1->setGeometry(16, 24, 330, 20);
    Label1->setAlignment(Qt::AlignCenter);
    Label2->setGeometry(16, 56, 330, 20);
    Label2->setAlignment(Qt::AlignCenter);
    Button1->setGeometry(142, 98, 75, 25);
    connect(Button1, &QPushButton::clicked, this, &TForm2::close);
}

void TForm2::showCaption(const QString& caption) {
    Image1->hide();
    Label1->setText(caption);
}

}  // namespace lqs
