#include "control_panel/main_window.h"

#include "control_panel/protection_dialog.h"
#include "control_panel/sequence_editor.h"
#include "device_link/device_link.h"
#include "device_link/link_client.h"
#include "device_link/model_profile.h"
#include "serial/comm.h"
#include "ui_main_window.h"

namespace lqs {

// ---- The guard ----

void TForm1::connectGuard() {
    LinkClient* c = m_client;
    connect(c, &LinkClient::guardTripped, this, &TForm1::showTrip);
    connect(c, &LinkClient::tripConfirmed, this, &TForm1::showTripConfirmed);
    connect(c, &LinkClient::guardCleared, this, &TForm1::showTripCleared);
    connect(c, &LinkClient::countersChanged, this, &TForm1::showCounters);
    // The guard's settings (the dialog's or a script's), the output and the
    // link's mode each bear on whether the readings come fast.
    connect(c, &LinkClient::modeChanged, this, [this](LinkMode mode) {
        showGuardDown(mode);
        applyFastChoice();
    });
    connect(c, &LinkClient::outputChanged, this, &TForm1::applyFastChoice);
    connect(c, &LinkClient::guardSettingsChanged, this, &TForm1::applyFastChoice);
    connect(ui->Protection1, &QAction::triggered, this, &TForm1::Protection1Click);
    connect(ui->Sequence1, &QAction::triggered, this, &TForm1::Sequence1Click);
    connect(ui->GuardBannerClear, &QPushButton::clicked, c, &LinkClient::clearTrip);
    connect(ui->ClearErrorofProtection1, &QAction::triggered, c, &LinkClient::clearTrip);
    for (int channel : {1, 2}) {
        QPushButton* reset = channel == 1 ? ui->ResetCounters1 : ui->ResetCounters2;
        connect(reset, &QPushButton::clicked, this, [this, channel] {
            m_client->clearCounters(channel);
            showCounters(channel, {});
        });
        showCounters(channel, {});
    }
}

void TForm1::Protection1Click() {
    if (!m_protection) {
        m_protection = new TFormProtection(
            m_client, [this] { return modelProfile(m_model); }, this);
        connect(m_protection, &TFormProtection::applied, this, &TForm1::applyFastChoice);
    }
    applyFastChoice();  // a script may have armed a limit since
    m_protection->show();
    m_protection->raise();
    m_protection->activateWindow();
}

void TForm1::Sequence1Click() {
    if (!m_sequence) m_sequence = new SequenceEditor(m_client, Coupling(coupling()), this);
    m_sequence->show();
    m_sequence->raise();
    m_sequence->activateWindow();
}

namespace {
QString guardValue(GuardLimit limit, double value) {
    const int decimals = limit == GuardLimit::Charge || limit == GuardLimit::Energy ? 4
                         : limit == GuardLimit::OverPower                           ? 2
                                                                                    : 3;
    return QStringLiteral("%1 %2").arg(value, 0, 'f', decimals).arg(guardLimitUnit(limit));
}
}  // namespace

void TForm1::showTrip(const GuardTrip& t) {
    const QString at = link->scheduler().wallTime(t.at).toString(QStringLiteral("HH:mm:ss"));
    QString what;
    if (t.limit == GuardLimit::EnteringCc) {
        what = QStringLiteral("channel %1 went into constant current.").arg(t.channel);
    } else {
        const bool budget = t.limit == GuardLimit::Charge || t.limit == GuardLimit::Energy;
        what = QStringLiteral("channel %1 %2, %3 %4, %5 %6.")
                   .arg(t.channel)
                   .arg(guardLimitName(t.limit), guardValue(t.limit, t.reading),
                        budget ? QStringLiteral("delivered") : QStringLiteral("read"),
                        t.limit == GuardLimit::UnderVoltage ? QStringLiteral("floor")
                        : budget                            ? QStringLiteral("budget")
                                                            : QStringLiteral("limit"),
                        guardValue(t.limit, t.level));
    }
    m_tripText = QStringLiteral("Output switched off at %1: %2").arg(at, what);
    logEvent(m_tripText, EventSource::Instrument);
    ui->ClearErrorofProtection1->setEnabled(true);
    if (m_protection && m_protection->beepOnTrip() && Beep) Beep(2600, 300);
    showGuardBanner();
}

void TForm1::showTripConfirmed(TripConfirmation confirmation) {
    if (m_tripText.isEmpty()) return;
    switch (confirmation) {
        case TripConfirmation::Off:
            m_tripText += QStringLiteral(" Output off confirmed.");
            break;
        case TripConfirmation::StillOn:
            m_tripText += QStringLiteral(
                " The instrument still reports its output on: switch it off at the instrument.");
            break;
        case TripConfirmation::Unanswered:
            m_tripText += QStringLiteral(
                " The instrument did not confirm that its output is off: check it at the "
                "instrument.");
            break;
    }
    logEvent(m_tripText, EventSource::Instrument);
    showGuardBanner();
}

void TForm1::showTripCleared() {
    m_tripText.clear();
    ui->ClearErrorofProtection1->setEnabled(false);
    showGuardBanner();
}

// Armed limits with no link reading the instrument guard nothing: the
// operator is told rather than left trusting them.
void TForm1::showGuardDown(LinkMode mode) {
    const LinkMode was = m_guardMode;
    m_guardMode = mode;
    if (standing(mode)) {
        m_guardDownText.clear();
    } else if ((standing(was) || was == LinkMode::Linking) && m_client->guardArmed()) {
        const QString why =
            mode == LinkMode::LineLost   ? QStringLiteral("the line to the instrument is lost")
            : mode == LinkMode::TimedOut ? QStringLiteral("the instrument does not answer")
                                         : QStringLiteral("the link is stopped");
        m_guardDownText =
            QStringLiteral("The guard is down: %1, and nothing will switch the output off.")
                .arg(why);
        logEvent(m_guardDownText, EventSource::Instrument);
    }
    showGuardBanner();
}

// Red for a trip, amber while the guard is down; white text on both reads
// in a dark palette as in a light one.
void TForm1::showGuardBanner() {
    QStringList parts;
    if (!m_guardDownText.isEmpty()) parts << m_guardDownText;
    if (!m_tripText.isEmpty()) parts << m_tripText;
    QFrame* banner = ui->GuardBanner;
    if (parts.isEmpty()) {
        banner->hide();
    } else {
        QPalette p = banner->palette();
        p.setColor(QPalette::Window,
                   m_tripText.isEmpty() ? QColor(0x9a, 0x5b, 0x00) : QColor(0xb0, 0x10, 0x20));
        p.setColor(QPalette::WindowText, Qt::white);
        banner->setPalette(p);
        ui->GuardBannerText->setText(parts.join(QLatin1Char('\n')));
        ui->GuardBannerClear->setVisible(!m_tripText.isEmpty());
        banner->show();
        banner->raise();
    }
    setLinkText(m_linkText);
}

void TForm1::showCounters(int channel, const ChannelCounters& c) {
    QLabel* label = channel == 2 ? ui->Counters2 : ui->Counters1;
    label->setText(
        QStringLiteral("%1 Ah  %2 Wh").arg(c.ampHours, 0, 'f', 4).arg(c.wattHours, 0, 'f', 4));
}

bool TForm1::fastByGuard() const {
    return m_client->guardArmed() && !ui->FastReadings1->isChecked();
}

// The link reads fast while the operator ticked Fast Readings or any limit
// is armed; the port cuts its blocks and the recorder takes its slices to match.
void TForm1::applyFastChoice() {
    const bool effective = ui->FastReadings1->isChecked() || m_client->guardArmed();
    // A reply ends at its CR rather than after the line's silence.
    comm1->setEndBlockAtCarriageReturn(effective);
    if (!m_client->guardArmed() && !m_guardDownText.isEmpty()) {
        m_guardDownText.clear();
        showGuardBanner();
    }
    if (effective == m_fastEffective) {
        setLinkText(m_linkText);
        return;
    }
    m_fastEffective = effective;
    if (!effective && m_client->linked())
        setLinkText(linkedText());
    else
        setLinkText(m_linkText);
    Q_EMIT fastReadingsChanged(effective);
}

QString TForm1::guardNote() const {
    QStringList parts;
    if (!m_guardDownText.isEmpty()) parts << m_guardDownText;
    if (!m_tripText.isEmpty()) parts << m_tripText;
    if (parts.isEmpty() && fastByGuard() && m_client->mode() == LinkMode::FastReadings)
        parts << QStringLiteral("Fast readings while the guard is armed");
    return parts.join(QLatin1Char(' '));
}

}  // namespace lqs
