// TFormProtection: the guard's limits for each channel, as the link holds
// them. Each opening shows the link's settings, so a script's changes show;
// Apply sends only what the operator changed, and a level the chosen model
// cannot reach is refused, naming the channel and the limit.
#pragma once

#include "device_link/guard.h"

#include <QDialog>

#include <array>
#include <functional>
#include <memory>

class QCheckBox;
class QDoubleSpinBox;

namespace lqs {

class LinkClient;
struct ModelProfile;

namespace Ui {
class TFormProtection;
}

class TFormProtection : public QDialog {
    Q_OBJECT
public:
    TFormProtection(LinkClient* client, std::function<const ModelProfile*()> model,
                    QWidget* parent = nullptr);
    ~TFormProtection() override;

    bool beepOnTrip() const { return m_beepOnTrip; }
    // Said on every control that arms a limit, and at the top of the dialog.
    static QString honestyNote();

Q_SIGNALS:
    // Apply or OK pressed: what was accepted has gone to the link.
    void applied();

protected:
    void showEvent(QShowEvent* event) override;

private:
    struct Row {
        QCheckBox* armed = nullptr;
        QDoubleSpinBox* level = nullptr;  // none for constant current
        QDoubleSpinBox* delay = nullptr;
        GuardSetting shown;  // as loaded or last sent
    };
    void buildRows(int channel);
    void load();
    GuardSetting entered(const Row& row) const;
    bool apply();  // false when some setting was refused
    void showTripState();

    std::unique_ptr<Ui::TFormProtection> ui;
    LinkClient* m_client;
    std::function<const ModelProfile*()> m_model;
    std::array<std::array<Row, kGuardLimits>, 2> m_rows{};
    bool m_beepOnTrip = false;
};

}  // namespace lqs
