#include "control_panel/protection_dialog.h"

#include "ui_protection_dialog.h"

#include "device_link/link_client.h"

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QPushButton>

#include <chrono>
#include <cmath>

namespace lqs {

namespace {

struct LimitRow {
    GuardLimit limit;
    const char* key;    // the controls' object names
    const char* label;  // what the operator reads
    int decimals;
};

constexpr LimitRow kLimitRows[kGuardLimits] = {
    {GuardLimit::OverVoltage, "OverVoltage", "Over-voltage", 3},
    {GuardLimit::UnderVoltage, "UnderVoltage", "Under-voltage floor", 3},
    {GuardLimit::OverCurrent, "OverCurrent", "Over-current", 3},
    {GuardLimit::OverPower, "OverPower", "Over-power", 2},
    {GuardLimit::Charge, "Charge", "Charge budget", 4},
    {GuardLimit::Energy, "Energy", "Energy budget", 4},
    {GuardLimit::EnteringCc, "EnteringCc", "Entering constant current", 0},
};

// Wide enough that the model's own check, not the box, refuses a level.
constexpr double kLevelBoxMost = 999999;

bool same(const GuardSetting& a, const GuardSetting& b) {
    return a.armed == b.armed && a.level == b.level && a.delay == b.delay;
}

}  // namespace

QString TFormProtection::honestyNote() {
    return QStringLiteral(
        "The program guards only while it runs and the serial line stands: if the computer, "
        "the program or the line stops, nothing trips, because the instrument has no watchdog "
        "of its own.");
}

TFormProtection::TFormProtection(LinkClient* client, std::function<const ModelProfile*()> model,
                                 QWidget* parent)
    : QDialog(parent),
      ui(std::make_unique<Ui::TFormProtection>()),
      m_client(client),
      m_model(std::move(model)) {
    ui->setupUi(this);
    ui->TopLabel->setToolTip(honestyNote());
    buildRows(1);
    buildRows(2);
    // Strong in a light palette and a dark one alike.
    QPalette p = ui->Refusal->palette();
    p.setColor(QPalette::WindowText, QColor(0xd0, 0x20, 0x20));
    ui->Refusal->setPalette(p);
    ui->Refusal->hide();

    connect(ui->Buttons->button(QDialogButtonBox::Ok), &QPushButton::clicked, this, [this] {
        if (apply()) accept();
    });
    connect(ui->Buttons->button(QDialogButtonBox::Apply), &QPushButton::clicked, this,
            &TFormProtection::apply);
    connect(ui->Buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(ui->ClearTrip, &QPushButton::clicked, m_client, &LinkClient::clearTrip);
    connect(m_client, &LinkClient::guardTripped, this, &TFormProtection::showTripState);
    connect(m_client, &LinkClient::guardCleared, this, &TFormProtection::showTripState);
}

TFormProtection::~TFormProtection() = default;

void TFormProtection::buildRows(int channel) {
    QWidget* tab = channel == 1 ? ui->Channel1Tab : ui->Channel2Tab;
    QGridLayout* grid = channel == 1 ? ui->Channel1Grid : ui->Channel2Grid;
    const QStringList heads = {QStringLiteral("Limit"), QString(), QStringLiteral("Level"),
                               QStringLiteral("Delay")};
    for (int column = 0; column < heads.size(); ++column)
        if (!heads[column].isEmpty()) grid->addWidget(new QLabel(heads[column], tab), 0, column);
    for (int i = 0; i < kGuardLimits; ++i) {
        const LimitRow& l = kLimitRows[i];
        Row& row = m_rows[channel - 1][i];
        const QString suffix = QString::fromLatin1(l.key) + QString::number(channel);
        const QString name =
            QStringLiteral("Channel %1 %2").arg(channel).arg(guardLimitName(l.limit));
        grid->addWidget(new QLabel(QString::fromLatin1(l.label), tab), i + 1, 0);

        row.armed = new QCheckBox(QStringLiteral("Armed"), tab);
        row.armed->setObjectName(QStringLiteral("Armed") + suffix);
        row.armed->setAccessibleName(name + QStringLiteral(" armed"));
        row.armed->setToolTip(honestyNote());
        grid->addWidget(row.armed, i + 1, 1);

        if (l.limit != GuardLimit::EnteringCc) {
            row.level = new QDoubleSpinBox(tab);
            row.level->setObjectName(QStringLiteral("Level") + suffix);
            row.level->setAccessibleName(name + QStringLiteral(" level"));
            row.level->setDecimals(l.decimals);
            row.level->setRange(0, kLevelBoxMost);
            row.level->setSuffix(QLatin1Char(' ') + guardLimitUnit(l.limit));
            grid->addWidget(row.level, i + 1, 2);
        }

        row.delay = new QDoubleSpinBox(tab);
        row.delay->setObjectName(QStringLiteral("Delay") + suffix);
        row.delay->setAccessibleName(name + QStringLiteral(" delay"));
        row.delay->setDecimals(2);
        row.delay->setRange(0, std::chrono::duration<double>(kLongestGuardDelay).count());
        row.delay->setSuffix(QStringLiteral(" s"));
        row.delay->setToolTip(
            QStringLiteral("How long the readings must stay past the level before the output "
                           "goes off: 0 trips on the first reading past it."));
        grid->addWidget(row.delay, i + 1, 3);
    }
}

void TFormProtection::showEvent(QShowEvent* event) {
    load();
    QDialog::showEvent(event);
}

// What the link holds now: a script may have changed it since the last look.
void TFormProtection::load() {
    for (int channel : {1, 2}) {
        for (int i = 0; i < kGuardLimits; ++i) {
            Row& row = m_rows[channel - 1][i];
            const GuardSetting& s = m_client->guardSetting(channel, kLimitRows[i].limit);
            row.armed->setChecked(s.armed);
            if (row.level) row.level->setValue(s.level);
            row.delay->setValue(std::chrono::duration<double>(s.delay).count());
            // As the boxes hold it, so a level they round is not taken for a change.
            row.shown = entered(row);
        }
    }
    ui->BeepOnTrip->setChecked(m_beepOnTrip);
    ui->Refusal->clear();
    ui->Refusal->hide();
    showTripState();
}

GuardSetting TFormProtection::entered(const Row& row) const {
    GuardSetting s;
    s.armed = row.armed->isChecked();
    s.level = row.level ? row.level->value() : 0;
    s.delay = std::chrono::milliseconds(std::lround(row.delay->value() * 1000));
    return s;
}

bool TFormProtection::apply() {
    m_beepOnTrip = ui->BeepOnTrip->isChecked();
    QStringList refused;
    for (int channel : {1, 2}) {
        for (int i = 0; i < kGuardLimits; ++i) {
            Row& row = m_rows[channel - 1][i];
            const GuardLimit limit = kLimitRows[i].limit;
            const GuardSetting s = entered(row);
            if (same(s, row.shown)) continue;
            // A level of 0 that is not armed only says none is set yet.
            const QString why = s.armed || s.level != 0
                                    ? checkGuardLevel(limit, s.level, m_model ? m_model() : nullptr)
                                    : QString();
            if (!why.isEmpty()) {
                refused << QStringLiteral("Channel %1 %2 is not set: %3")
                               .arg(channel)
                               .arg(guardLimitName(limit), why);
                continue;
            }
            m_client->setGuard(channel, limit, s);
            row.shown = s;
        }
    }
    ui->Refusal->setText(refused.join(QLatin1Char('\n')));
    ui->Refusal->setVisible(!refused.isEmpty());
    Q_EMIT applied();
    return refused.isEmpty();
}

void TFormProtection::showTripState() {
    const bool tripped = m_client->trip().has_value();
    ui->ClearTrip->setEnabled(tripped);
    ui->ClearTrip->setToolTip(tripped ? QStringLiteral("Let the output be switched on again")
                                      : QStringLiteral("Nothing has tripped"));
}

}  // namespace lqs
