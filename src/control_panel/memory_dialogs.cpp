#include "control_panel/memory_dialogs.h"

#include "ui_memory_dialogs.h"

#include "common/dialog_flags.h"
#include "common/guarded.h"

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
      ui(new Ui::TMemoryDialog) {
    ui->setupUi(this);
    setWindowTitle(caption);
    // The texts keep their whole width in a larger font.
    for (QLabel* l : {ui->Label1, ui->SlotHint}) l->resize(l->size().expandedTo(l->sizeHint()));
    // Two digits still show a mistyped 10 as typed rather than as a 1 that OK would send.
    ui->Edit1->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[0-9]{0,2}")), ui->Edit1));
    connect(this, &QDialog::finished, this, &TMemoryDialog::dialogClosed);
    connect(ui->Edit1, &QLineEdit::textChanged, this, &TMemoryDialog::slotTextChanged);
    slotTextChanged();
    connect(ui->UpDown1, &TUpDown::stepped, this, &TMemoryDialog::UpDown1Click);
    connect(ui->Button2, &QPushButton::clicked, this, &TMemoryDialog::close);
    connect(ui->Button1, &QPushButton::clicked, this, &TMemoryDialog::Button1Click);
}

TMemoryDialog::~TMemoryDialog() = default;

// Each showing starts in the slot field with OK as the default: the dialog
// remembers the focus it closed with, and Enter on a focused Cancel cancels.
void TMemoryDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    ui->Button1->setDefault(true);
    ui->Edit1->setFocus();
    ui->Edit1->selectAll();
}

void TMemoryDialog::Button1Click() {
    close();
    Q_EMIT slotChosen(ui->Edit1->text());
}

void TMemoryDialog::UpDown1Click(bool up) {
    runGuarded(this, [&] {
        const int slot = qBound(kFirstSlot, StrToInt(ui->Edit1->text()) + (up ? 1 : -1), kLastSlot);
        ui->Edit1->setText(QString::number(slot));
    });
}

// A disabled OK is not clicked by Enter either, so nothing goes out.
void TMemoryDialog::slotTextChanged() {
    const bool ok = isSlot(ui->Edit1->text());
    ui->Button1->setEnabled(ok);
    ui->SlotHint->setVisible(!ok);
}

}  // namespace lqs
