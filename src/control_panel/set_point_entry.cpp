#include "control_panel/set_point_entry.h"

#include "common/guarded.h"
#include "control_panel/up_down.h"
#include "device_link/link_client.h"
#include "device_link/model_profile.h"
#include "device_link/protocol.h"
#include "device_link/set_point_math.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QTimer>
#include <QToolButton>

namespace lqs {

SetPointEntry::SetPointEntry(QLineEdit* const (&fields)[4], TUpDown* const (&arrows)[4],
                             QTimer* tmr1, LinkClient* link, QWidget* window, const HoldPace& pace)
    : QObject(window),
      m_fields{fields[0], fields[1], fields[2], fields[3]},
      m_arrows{arrows[0], arrows[1], arrows[2], arrows[3]},
      m_tmr1(tmr1),
      m_link(link),
      m_window(window) {
    m_tmr1->setInterval(pace.tickMs);
    for (int i = 0; i < 4; ++i) {
        const int number = 5 + i;  // UpDown1 steps Edit5, UpDown2 Edit6, ...
        for (QToolButton* b : {m_arrows[i]->upButton(), m_arrows[i]->downButton()}) {
            b->setAutoRepeatDelay(pace.repeatDelayMs);
            b->setAutoRepeatInterval(pace.repeatMs);
        }
        m_fields[i]->installEventFilter(this);
        // Any other text put there by the program is sent or held; one typed
        // is not sent until Enter.
        connect(m_fields[i], &QLineEdit::textChanged, this, [this, number](const QString& t) {
            if (t != m_typed[number - 5]) markUnsent(number, false);
        });
        connect(m_fields[i], &QLineEdit::textEdited, this,
                [this, number](const QString& t) { fieldEdited(number, t); });
        connect(m_fields[i], &QLineEdit::textEdited, this, [this, number] {
            m_typed[number - 5] = field(number)->text();
            markUnsent(number, true);
        });
        connect(arrows[i], &TUpDown::stepped, this,
                [this, number](bool up) { UpDownClick(number, up); });
        connect(arrows[i], &TUpDown::mouseDown, this, &SetPointEntry::UpDownMouseDown);
        connect(arrows[i], &TUpDown::mouseUp, this, &SetPointEntry::UpDownMouseUp);
    }
    connect(m_tmr1, &QTimer::timeout, this, &SetPointEntry::tmr1Timer);
}

QLineEdit* SetPointEntry::field(int edit) const {
    return edit >= 5 && edit <= 8 ? m_fields[edit - 5] : nullptr;
}

int SetPointEntry::fieldNumber(const QObject* object) const {
    for (int i = 0; i < 4; ++i)
        if (object == m_fields[i]) return 5 + i;
    return 0;
}

namespace {

bool isPoint(QChar c) {
    return c == QLatin1Char('.');
}
bool isDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

// No other reading of a comma is plausible in a set point, and dropping it
// would turn 2,5 into 25.
QChar asPoint(QChar c) {
    return c == QLatin1Char(',') ? QLatin1Char('.') : c;
}

// Status panel 2 while an entry waits for Enter.
QString enterPrompt() {
    return QStringLiteral("Please press Enter key!");
}

// The hold ticks after which the arrows take their coarse step.
constexpr int kCoarseTicks = 2;

}  // namespace

// Up, Down, Page Up and Page Down step the field as its arrows do. Otherwise
// only keys that type a printable character, Enter and Backspace are judged:
// Tab, Left/Right, Delete, Home/End, Escape and shortcuts keep their usual
// meaning (some platforms give Tab, Delete and Escape a control character as
// text).
bool SetPointEntry::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const int number = fieldNumber(watched);
        auto* key = static_cast<QKeyEvent*>(event);
        if (number == 0 ||
            (key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)))
            return false;
        if (stepKey(number, key)) return true;
        if (key->key() == Qt::Key_Escape && m_unsent[number - 5]) {
            // Back to what the instrument holds, as far as the link knows.
            const SetPointOp op = setPointOfField(number);
            const QString held = m_link->heldSetPoint(
                number <= 6 ? 1 : 2, op.voltage ? Quantity::Voltage : Quantity::Current);
            if (!held.isEmpty()) field(number)->setText(held);
            markUnsent(number, false);
            ShowPrompt(QString());
            return true;
        }
        QChar c;
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            c = QChar(13);
        } else if (key->key() == Qt::Key_Backspace) {
            c = QChar(8);
        } else if (!key->text().isEmpty() && key->text().at(0).isPrint()) {
            c = key->text().at(0);
        } else {
            return false;
        }
        const QChar typed = c;
        if (!SetPointKeyPress(number, c)) return true;
        if (c == typed) return false;
        field(number)->insert(QString(c));
        return true;
    }
    return QObject::eventFilter(watched, event);
}

// Text that arrives other than by a typed key (paste, middle click, drop, an
// input method) keeps only the characters a typed key could have put there.
void SetPointEntry::fieldEdited(int edit, const QString& text) {
    QLineEdit* e = field(edit);
    QString kept;
    int cursor = e->cursorPosition();
    const int oldCursor = cursor;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = asPoint(text.at(i));
        if (isPoint(c) || isDigit(c)) {
            kept += c;
        } else if (i < oldCursor) {
            --cursor;
        }
    }
    if (kept != text) {
        e->setText(kept);
        e->setCursorPosition(cursor);
    }
    ShowPrompt(enterPrompt());
}

bool SetPointEntry::SetPointKeyPress(int edit, QChar& key) {
    if (edit != 8) ShowPrompt(enterPrompt());
    key = asPoint(key);
    const bool passes = key == QChar(8) || key == QChar(13) || isPoint(key) || isDigit(key);
    if (!passes) return false;
    if (edit == 8) ShowPrompt(enterPrompt());
    if (key == QChar(13)) {
        ConfirmSetPoint(edit);
        return false;
    }
    return true;
}

// Enter: out of range or not a number becomes the model's zero; it is passed on all the same.
void SetPointEntry::ConfirmSetPoint(int edit) {
    const int model = m_link->model();
    const SetPointOp codes = setPointOfField(edit);
    QLineEdit* e = field(edit);
    double value = 0;
    bool isNumber = true;
    try {
        value = StrToFloat(e->text());
    } catch (const EConvertError&) {
        isNumber = false;
    }
    if (!isNumber || !AcceptedOnEnter(model, value, codes.voltage)) {
        const QString typed = e->text();
        e->setText(ZeroTextForModel(model));
        if (ShowNote) ShowNote(refusedEntry(model, typed, isNumber, codes.voltage, e->text()));
    } else {
        e->setText(FormatForModel(model, value));
    }
    ShowPrompt(QString());
    markUnsent(edit, false);
    // The value as confirmed is what goes out, whatever the field holds later.
    m_link->setSetPoint(edit <= 6 ? 1 : 2, codes.voltage ? Quantity::Voltage : Quantity::Current,
                        e->text().toDouble(), e->text(), m_origin, std::move(m_done));
}

void SetPointEntry::enter(int edit, const QString& text, Origin origin,
                          std::function<void(bool tookEffect)> done) {
    QLineEdit* e = field(edit);
    if (!e) return;
    e->setText(text);
    m_origin = origin;
    m_done = std::move(done);
    ConfirmSetPoint(edit);
    m_origin = Origin::Window;
    m_done = nullptr;
}

// What Enter did with an entry it could not take, in the operator's words.
QString SetPointEntry::refusedEntry(int model, const QString& typed, bool isNumber, bool voltage,
                                    const QString& set) {
    const QString unit = voltage ? QStringLiteral("V") : QStringLiteral("A");
    if (!isNumber) return QStringLiteral("\"%1\" is not a number: %2 %3 set").arg(typed, set, unit);
    const ModelProfile* p = modelProfile(model);
    const double limit = !p ? 0 : voltage ? p->voltageCeiling : p->currentCeiling;
    return QStringLiteral("%1 is above the %2 %3 limit: %4 %3 set")
        .arg(typed)
        .arg(limit)
        .arg(unit, set);
}

// Typed and not sent: italic, saying so, until Enter, Escape or the program
// puts a text there.
void SetPointEntry::markUnsent(int edit, bool unsent) {
    QLineEdit* e = field(edit);
    if (!e) return;
    if (!unsent) m_typed[edit - 5].clear();
    if (m_unsent[edit - 5] == unsent) return;
    m_unsent[edit - 5] = unsent;
    QFont f = e->font();
    f.setItalic(unsent);
    e->setFont(f);
    e->setToolTip(unsent ? QStringLiteral("Not sent: press Enter") : QString());
}

// Shift keeps the keys for the field itself.
bool SetPointEntry::stepKey(int edit, const QKeyEvent* key) {
    if (key->modifiers() & Qt::ShiftModifier) return false;
    bool up = false;
    bool coarse = false;
    switch (key->key()) {
        case Qt::Key_Up:
            up = true;
            break;
        case Qt::Key_Down:
            break;
        case Qt::Key_PageUp:
            up = coarse = true;
            break;
        case Qt::Key_PageDown:
            coarse = true;
            break;
        default:
            return false;
    }
    if (m_arrows[edit - 5]->isEnabled()) UpDownClick(edit, up, coarse);
    return true;
}

void SetPointEntry::UpDownClick(int edit, bool up, bool coarse) {
    const SetPointOp codes = setPointOfField(edit);
    QLineEdit* e = field(edit);
    runGuarded(m_window, [&] {
        double value = StrToFloat(e->text());  // text not yet confirmed counts too
        const int model = m_link->model();
        const int ticks = coarse ? kCoarseTicks : m_holdTicks;
        Stepped stepped{value, e->text()};
        if (up && StepUpAllowed(model, value, codes.voltage)) {
            stepped = StepUp(model, value, codes.voltage, ticks);
        } else if (!up && AboveFineStep(model, value)) {
            stepped = StepDown(model, value, codes.voltage, ticks);
        }
        e->setText(stepped.text);
        markUnsent(edit, false);
        m_link->stepSetPoint(edit <= 6 ? 1 : 2,
                             codes.voltage ? Quantity::Voltage : Quantity::Current,
                             stepped.text.toDouble(), stepped.text);
    });
}

// The hold timer decides when steps grow: fine for two seconds, coarse after.
void SetPointEntry::UpDownMouseDown() {
    m_holdTicks = 0;
    m_link->holdStarted();
    m_tmr1->start();
}

void SetPointEntry::UpDownMouseUp() {
    m_holdTicks = 0;
    m_link->holdEnded();
    m_tmr1->stop();
}

void SetPointEntry::tmr1Timer() {
    ++m_holdTicks;
    m_link->holdTick();
}

}  // namespace lqs
