#include "control_panel/read_time_dialog.h"

#include "common/dialog_flags.h"

#include "common/guarded.h"
#include "control_panel/up_down.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>

namespace lqs {

namespace {
constexpr int kMaxSeconds = 120;
}

TForm_ReadTime::TForm_ReadTime(QWidget* parent)
    : QDialog(parent, kFixedDialogFlags),
      Label1(new QLabel(QStringLiteral("Max time to complete one set  "), this)),
      Label2(new QLabel(QStringLiteral("of queries"), this)),
      Label3(new QLabel(QStringLiteral("sec"), this)),
      se1(new QLineEdit(QStringLiteral("0"), this)),
      se1Arrows(new TUpDown(this)),
      Button1(new QPushButton(QStringLiteral("OK"), this)),
      Button2(new QPushButton(QStringLiteral("Cancel"), this)) {
    setObjectName(QStringLiteral("Form_ReadTime"));
    setWindowTitle(QStringLiteral("Read Time"));
    setModal(true);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label2->setObjectName(QStringLiteral("Label2"));
    Label3->setObjectName(QStringLiteral("Label3"));
    se1->setObjectName(QStringLiteral("se1"));
    Button1->setObjectName(QStringLiteral("Button1"));
    Button2->setObjectName(QStringLiteral("Button2"));

    // The 96-dpi layout, widened where the font in use needs more room: the
    // buttons move right of the longer label and the dialog grows with them.
    const auto fit = [](QLabel* l, int x, int y, int w, int h) {
        l->setGeometry(QRect(QPoint(x, y), QSize(w, h).expandedTo(l->sizeHint())));
    };
    fit(Label1, 8, 4, 150, 16);
    fit(Label2, 8, Label1->geometry().bottom() + 1, 150, 16);
    se1->setGeometry(8, 42, 64, 22);
    se1Arrows->setGeometry(72, 42, 16, 22);
    fit(Label3, 94, 45, 30, 16);
    const int buttonsX =
        qMax(166, qMax(Label1->geometry().right(), Label2->geometry().right()) + 8);
    Button1->setGeometry(buttonsX, 6, 75, 25);
    Button2->setGeometry(buttonsX, 40, 75, 25);
    setFixedSize(qMax(249, Button1->geometry().right() + 9), 72);
    se1->setAccessibleName(QStringLiteral("Seconds"));

    se1->setContextMenuPolicy(Qt::NoContextMenu);
    // Typed keys are judged by the filter below; this keeps pasted text to digits too.
    se1->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), se1));
    se1->installEventFilter(this);
    connect(se1, &QLineEdit::textChanged, this, &TForm_ReadTime::se1Change);
    connect(se1Arrows, &TUpDown::stepped, this, &TForm_ReadTime::se1Step);
    connect(Button1, &QPushButton::clicked, this, &TForm_ReadTime::accept);
    connect(Button2, &QPushButton::clicked, this, &TForm_ReadTime::reject);
}

// se1KeyPress: only digits reach the field; Backspace and Enter are
// characters too and are dropped. Keys that type nothing (Delete, arrows,
// shortcuts) keep their usual meaning.
bool TForm_ReadTime::eventFilter(QObject* watched, QEvent* event) {
    if (watched == se1 && event->type() == QEvent::KeyPress) {
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
    const QString text = se1->text();
    // Digits beyond the range of an int are simply above the ceiling.
    bool digitsOnly = !text.isEmpty();
    for (QChar c : text) digitsOnly = digitsOnly && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    if (digitsOnly) {
        bool ok = false;
        const qulonglong value = text.toULongLong(&ok);
        if (!ok || value > qulonglong(kMaxSeconds)) se1->setText(QString::number(kMaxSeconds));
        return;
    }
    runGuarded(this, [&] {
        const int value = StrToInt(text);
        if (value > kMaxSeconds) {
            se1->setText(QString::number(kMaxSeconds));
        } else if (value < 0) {
            se1->setText(QStringLiteral("0"));
        }
    });
}

void TForm_ReadTime::se1Step(bool up) {
    bool ok = false;
    int value = se1->text().toInt(&ok);
    if (!ok) value = 0;  // the arrows read an unreadable text as 0
    se1->setText(QString::number(up ? value + 1 : value - 1));
}

}  // namespace lqs
