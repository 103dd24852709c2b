#include "memory_dialogs.h"

#include "dialog_flags.h"
#include "guarded.h"
#include "up_down.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace lqs {

TMemoryDialog::TMemoryDialog(const QString& caption, QWidget* parent)
    : QDialog(parent, kFixedDialogFlags | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint),
      Label1(new QLabel(QStringLiteral("Memory"), this)),
      Edit1(new QLineEdit(QStringLiteral("1"), this)),
      UpDown1(new TUpDown(this)),
      Button1(new QPushButton(QStringLiteral("OK"), this)),
      Button2(new QPushButton(QStringLiteral("Cancel"), this)) {
    setWindowTitle(caption);
    connect(this, &QDialog::finished, this, &TMemoryDialog::dialogClosed);
    setFixedSize(282, 106);
    Label1->setObjectName(QStringLiteral("Label1"));
    Edit1->setObjectName(QStringLiteral("Edit1"));
    UpDown1->setObjectName(QStringLiteral("UpDown1"));
    Button1->setObjectName(QStringLiteral("Button1"));
    Button2->setObjectName(QStringLiteral("Button2"));
    Edit1->setAccessibleName(QStringLiteral("Memory slot"));
    UpDown1->setAccessibleName(QStringLiteral("Memory slot arrows"));
    Label1->setGeometry(QRect(QPoint(24, 20), QSize(60, 18).expandedTo(Label1->sizeHint())));
    UpDown1->setGeometry(90, 16, 17, 24);
    Edit1->setGeometry(108, 16, 60, 24);
    Button1->setGeometry(40, 64, 75, 25);
    Button2->setGeometry(160, 64, 75, 25);
    Button1->setDefault(true);
    connect(UpDown1, &TUpDown::stepped, this, &TMemoryDialog::UpDown1Click);
    connect(Button2, &QPushButton::clicked, this, &TMemoryDialog::close);
}

void TMemoryDialog::UpDown1Click(bool up) {
    runGuarded(this, [&] {
        int slot = StrToInt(Edit1->text());
        if (up && slot < 4) ++slot;
        if (!up && slot > 1) --slot;
        Edit1->setText(QString::number(slot));
    });
}


}  // namespace lqs
