// Tsave and Trecall: pick a memory slot of the instrument, 1 to 4.
#pragma once

#include <QDialog>

#include <memory>

namespace lqs {

namespace Ui {
class TMemoryDialog;
}

class TMemoryDialog : public QDialog {
    Q_OBJECT
public:
    TMemoryDialog(const QString& caption, QWidget* parent);
    ~TMemoryDialog() override;

    // The slot arrows: 1 to 4, no wrap; a typed slot out of range comes back
    // to the nearest one.
    void UpDown1Click(bool up);
    // OK: closes and hands the slot on.
    void Button1Click();

Q_SIGNALS:
    void dialogClosed();
    // OK: the slot in the field, which is one the instrument has.
    void slotChosen(const QString& slot);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void slotTextChanged();

    std::unique_ptr<Ui::TMemoryDialog> ui;
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
