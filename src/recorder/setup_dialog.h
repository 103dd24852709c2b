// TFrm_Setup: record length, time slice, point operation and curve colours.
// Accepted, it returns the choices; the recorder applies them.
#pragma once

#include "recorder/recorder_state.h"

#include <QDialog>

#include <memory>
#include <optional>

class QComboBox;

namespace lqs {

namespace Ui {
class TFrm_Setup;
}

class TFrm_Setup : public QDialog {
    Q_OBJECT
public:
    explicit TFrm_Setup(QWidget* parent = nullptr);
    ~TFrm_Setup() override;

    // What the dialog shows now; what OK accepted once it has closed.
    SetupChoices choices() const;
    // The recorder's choice of the charge and energy columns, shown as it
    // stands rather than reset with the rest.
    void setRecordCounters(bool on);
    // Shown at every opening from now on, in place of the defaults.
    void showChoices(const SetupChoices& choices);
    // Whether the dialog offers c's length, slice, point operation and colours.
    static bool offers(const SetupChoices& c);

    static int sliceMsOf(const QString& scaleItem);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void FormShow();
    void cbb5Change();
    void btn_OKClick();

    static void selectColor(QComboBox* box, const QColor& color);
    static QColor chosenColor(const QComboBox* box);

    std::unique_ptr<Ui::TFrm_Setup> ui;
    std::optional<SetupChoices> m_inUse;
};

}  // namespace lqs
