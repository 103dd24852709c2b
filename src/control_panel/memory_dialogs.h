// Tsave and Trecall: pick a memory slot of the instrument, 1 to 4.
#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

namespace lqs {

class TUpDown;

class TMemoryDialog : public QDialog {
    Q_OBJECT
public:
    TMemoryDialog(const QString& caption, QWidget* parent);

    QLabel* Label1;
    QLineEdit* Edit1;
    TUpDown* UpDown1;
    QPushButton* Button1;
    QPushButton* Button2;
    // Says why OK is disabled; hidden while the slot is one the instrument has.
    QLabel* SlotHint;

    // The slot arrows: 1 to 4, no wrap; a typed slot out of range comes back
    // to the nearest one.
    void UpDown1Click(bool up);
    // OK: closes and hands the slot on.
    void Button1Click();

Q_SIGNALS:
    void dialogClosed();
    // OK: the slot in the field, which is one the instrument has.
    void slotChosen(const QString& slot);

private:
    void slotTextChanged();
};

class Tsave : public TMemoryDialog {
    Q_OBJECT
public:
    explicit Tsave(QWidget* parent = nullptr) : TMemoryDialog(QStringLiteral("Save Data"), parent) {
        setObjectName(QStringLiteral("save"));
    }
};

class Trecall : public TMemoryDialog {
    Q_OBJECT
public:
    explicit Trecall(QWidget* parent = nullptr)
        : TMemoryDialog(QStringLiteral("Recall Data"), parent) {
        setObjectName(QStringLiteral("recall"));
    }
};

}  // namespace lqs
