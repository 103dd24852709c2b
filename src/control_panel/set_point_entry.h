// The four set-point fields Edit5 .. Edit8 with their arrows UpDown1 ..
// UpDown4: the key filter and Enter's confirmation, one step per press or
// repeat of an arrow or an arrow key, and the hold timer tmr1 that makes the
// steps coarse after two seconds. The main window places the controls; this
// unit gives them meaning.
#pragma once

#include "device_link/link_types.h"

#include <QObject>
#include <QString>

#include <functional>

class QKeyEvent;
class QLineEdit;
class QTimer;
class QWidget;

namespace lqs {

class LinkClient;
class TUpDown;

// How a held arrow goes: tmr1's tick, which makes the steps coarse after two,
// and the arrows' repeat. Tests shorten them; the program keeps these.
struct HoldPace {
    int tickMs = 1000;
    int repeatDelayMs = 300;  // the platform's usual delay and rate
    int repeatMs = 100;
};

class SetPointEntry : public QObject {
    Q_OBJECT
public:
    // fields[0] is Edit5 with arrows[0] UpDown1, and so on up to Edit8 and UpDown4.
    SetPointEntry(QLineEdit* const (&fields)[4], TUpDown* const (&arrows)[4], QTimer* tmr1,
                  LinkClient* link, QWidget* window, const HoldPace& pace = HoldPace());

    // Whole seconds the arrow in use has been held.
    int holdTicks() const { return m_holdTicks; }

    // Writes the entry prompt into status panel 2 (empty clears it).
    std::function<void(const QString&)> ShowPrompt;
    // Says what Enter did with an entry it could not take (ours; may be unset).
    std::function<void(const QString&)> ShowNote;

    // A remote client's set point: as if typed into the field (5 .. 8) and
    // confirmed with Enter.
    void enter(int edit, const QString& text, Origin origin = Origin::Script,
               std::function<void(bool tookEffect)> done = {});
    // The operator is typing into the field (5 .. 8): what they typed is not
    // yet sent, and nothing else is written over it.
    bool typing(int edit) const { return edit >= 5 && edit <= 8 && m_unsent[edit - 5]; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Reached only through the fields' keys, the arrows and tmr1, so that tests
    // drive them with real input as the operator does.
    // Edit5KeyPress .. Edit8KeyPress, by field number 5 .. 8: true lets the
    // character, as possibly changed, reach the field.
    bool SetPointKeyPress(int edit, QChar& key);
    void ConfirmSetPoint(int edit);
    // UpDown1Click .. UpDown4Click: one step per press or repeat. The field's
    // Up and Down keys come here too; Page Up and Page Down with coarse set,
    // for the step a held arrow reaches.
    void UpDownClick(int edit, bool up, bool coarse = false);
    bool stepKey(int edit, const QKeyEvent* key);
    void UpDownMouseDown();
    void UpDownMouseUp();
    void tmr1Timer();

    void fieldEdited(int edit, const QString& text);
    void markUnsent(int edit, bool unsent);
    static QString refusedEntry(int model, const QString& typed, bool isNumber, bool voltage,
                                const QString& set);
    QLineEdit* field(int edit) const;
    int fieldNumber(const QObject* object) const;

    QLineEdit* m_fields[4];
    TUpDown* m_arrows[4];
    QTimer* m_tmr1;
    LinkClient* m_link;
    int m_holdTicks = 0;
    Origin m_origin = Origin::Window;  // of the entry being confirmed
    std::function<void(bool)> m_done;
    bool m_unsent[4] = {};
    QString m_typed[4];  // the text as last typed, while it is not sent
    QWidget* m_window;
};

}  // namespace lqs
