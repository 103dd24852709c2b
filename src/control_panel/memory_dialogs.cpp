#include "control_panel/memory_dialogs.h"

#include "common/dialog_flags.h"
#include "common/guarded.h"
#include "control_panel/up_down.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>

namespace lqs {

namespace {

constexpr int kFirstSlot = 1;
constexpr int kLastSlot = 4;

// OK sends the field's text as it is, so only a plain 1 to 4 may reach it.
bool isSlot(const QString& text) {
    bool number = false;
    const int slot = text.toInt(&number);
    return number && slot >= kFirstSlot && slot <= kLastSlot && text == QString::number(slot);
}

}  // namespace

TMemoryDialog::TMemoryDialog(const QString& caption, QWidget* parent)
    : QDialog(parent, kFixedDialogFlags | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint),
      Label1(new QLabel(QStringLiteral("Memory"), this)),
      Edit1(new QLineEdit(QStringLiteral("1"), this)),
      UpDown1(new TUpDown(this)),
      Button1(new QPushButton(QStringLiteral("OK"), this)),
      Button2(new QPushButton(QStringLiteral("Cancel"), this)),
      SlotHint(new QLabel(QStringLiteral("Pick a memory slot from 1 to 4."), this)) {
    setWindowTitle(caption);
    connect(this, &QDialog::finished, this, &TMemoryDialog::dialogClosed);
    setFixedSize(282, 106);
    Label1->setObjectName(QStringLiteral("Label1"));
    Edit1->setObjectName(QStringLiteral("Edit1"));
    UpDown1->setObjectName(QStringLiteral("UpDown1"));
    Button1->setObjectName(QStringLiteral("Button1"));
    Button2->setObjectName(QStringLiteral("Button2"));
    SlotHint->setObjectName(QStringLiteral("SlotHint"));
    Edit1->setAccessibleName(QStringLiteral("Memory slot"));
    UpDown1->setAccessibleName(QStringLiteral("Memory slot arrows"));
    Label1->setGeometry(QRect(QPoint(24, 20), QSize(60, 18).expandedTo(Label1->sizeHint())));
    UpDown1->setGeometry(90, 16, 17, 24);
    Edit1->setGeometry(108, 16, 60, 24);
    Button1->setGeometry(40, 64, 75, 25);
    Button2->setGeometry(160, 64, 75, 25);
    SlotHint->setGeometry(QRect(QPoint(24, 44), QSize(240, 18).expandedTo(SlotHint->sizeHint())));
    Button1->setDefault(true);
    // Two digits still show a mistyped 10 as typed rather than as a 1 that OK would send.
    Edit1->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,2}")), Edit1));
    connect(Edit1, &QLineEdit::textChanged, this, &TMemoryDialog::slotTextChanged);
    slotTextChanged();
    connect(UpDown1, &TUpDown::stepped, this, &TMemoryDialog::UpDown1Click);
    connect(Button2, &QPushButton::clicked, this, &TMemoryDialog::close);
    connect(Button1, &QPushButton::clicked, this, &TMemoryDialog::Button1Click);
}

void TMemoryDialog::Button1Click() {
    close();
    Q_EMIT slotChosen(Edit1->text());
}

void TMemoryDialog::UpDown1Click(bool up) {
    runGuarded(this, [&] {
        const int slot = qBound(kFirstSlot, StrToInt(Edit1->text()) + (up ? 1 : -1), kLastSlot);
        Edit1->setText(QString::number(slot));
    });
}

// A disabled OK is not clicked by Enter either, so nothing goes out.
void TMemoryDialog::slotTextChanged() {
    const bool ok = isSlot(Edit1->text());
    Button1->setEnabled(ok);
    SlotHint->setVisible(!ok);
}

}  // namespace lqs
