#include "control_panel/read_time_dialog.h"

#include "ui_read_time_dialog.h"

#include "common/dialog_flags.h"
#include "common/guarded.h"

#include <QKeyEvent>
#include <QRegularExpressionValidator>

namespace lqs {

namespace {
constexpr int kMaxSeconds = 120;
}

TForm_ReadTime::TForm_ReadTime(QWidget* parent)
    : QDialog(parent, kFixedDialogFlags), ui(new Ui::TForm_ReadTime) {
    ui->setupUi(this);

    // The 96-dpi layout, widened where the font in use needs more room: the
    // buttons move right of the longer label and the dialog grows with them.
    const auto fit = [](QLabel* l) { l->resize(l->size().expandedTo(l->sizeHint())); };
    fit(ui->Label1);
    ui->Label2->move(ui->Label2->x(), ui->Label1->geometry().bottom() + 1);
    fit(ui->Label2);
    fit(ui->Label3);
    const int buttonsX =
        qMax(166, qMax(ui->Label1->geometry().right(), ui->Label2->geometry().right()) + 8);
    ui->Button1->move(buttonsX, ui->Button1->y());
    ui->Button2->move(buttonsX, ui->Button2->y());
    setFixedSize(qMax(249, ui->Button1->geometry().right() + 9), 72);

    // Typed keys are judged by the filter below; this keeps pasted text to digits too.
    ui->se1->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), ui->se1));
    ui->se1->installEventFilter(this);
    connect(ui->se1, &QLineEdit::textChanged, this, &TForm_ReadTime::se1Change);
    connect(ui->se1Arrows, &TUpDown::stepped, this, &TForm_ReadTime::se1Step);
    connect(ui->Button1, &QPushButton::clicked, this, &TForm_ReadTime::accept);
    connect(ui->Button2, &QPushButton::clicked, this, &TForm_ReadTime::reject);
}

TForm_ReadTime::~TForm_ReadTime() = default;

// se1KeyPress: only digits reach the field; Backspace and Enter are
// characters too and are dropped. Keys that type nothing (Delete, arrows,
// shortcuts) keep their usual meaning.
bool TForm_ReadTime::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ui->se1 && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Backspace || key->key() == Qt::Key_Return ||
            key->key() == Qt::Key_Enter) {
            return true;
        }
        const QString text = key->text();
        if (!text.isEmpty() && text.at(0).isPrint()) {
            for (QChar c : text) {
                if (c < QLatin1Char('0') || c > QLatin1Char('9')) return true;
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

// The range rule, after every change of the text.
void TForm_ReadTime::se1Change() {
    const QString text = ui->se1->text();
    // Digits beyond the range of an int are simply above the ceiling.
    bool digitsOnly = !text.isEmpty();
    for (QChar c : text) digitsOnly = digitsOnly && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    if (digitsOnly) {
        bool ok = false;
        const qulonglong value = text.toULongLong(&ok);
        if (!ok || value > qulonglong(kMaxSeconds)) ui->se1->setText(QString::number(kMaxSeconds));
        return;
    }
    runGuarded(this, [&] {
        const int value = StrToInt(text);
        if (value > kMaxSeconds) {
            ui->se1->setText(QString::number(kMaxSeconds));
        } else if (value < 0) {
            ui->se1->setText(QStringLiteral("0"));
        }
    });
}

void TForm_ReadTime::se1Step(bool up) {
    bool ok = false;
    int value = ui->se1->text().toInt(&ok);
    if (!ok) value = 0;  // the arrows read an unreadable text as 0
    ui->se1->setText(QString::number(up ? value + 1 : value - 1));
}

}  // namespace lqs
