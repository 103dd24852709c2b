#include "control_panel/main_window.h"

#include "common/convert.h"
#include "control_panel/readings_model.h"
#include "device_link/link_client.h"
#include "device_link/model_profile.h"
#include "ui_main_window.h"

namespace lqs {

void TForm1::showReading(const Reading& r) {
    const int number = readingField(r.channel, r.quantity);
    setFieldText(number, r.text);
    // With fast readings the recorder sees every reading of a slice, not just the last.
    Q_EMIT readingArrived(number - 1, r.text);
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    Q_EMIT readingTimed(number - 1, r.text, r.value,
                        duration_cast<milliseconds>(r.at.time_since_epoch()).count(), r.wall);
}

void TForm1::clearReadings() {
    for (int number = 1; number <= 4; ++number) {
        setFieldText(number, QString());
        Q_EMIT readingArrived(number - 1, QString());
    }
}

// The button shows where the output goes: "ON" or "OFF", or "?" while the
// instrument has not said. A state still on its way is shown in italics.
void TForm1::showOutput(const OutputView& v) {
    const bool wasOn = m_outputShown.state == OutputState::On;
    m_outputShown = v;
    QPushButton* b = ui->BitBtn4;
    b->setText(v.target == OutputState::On    ? QStringLiteral("ON")
               : v.target == OutputState::Off ? QStringLiteral("OFF")
                                              : QStringLiteral("?"));
    QFont f = b->font();
    f.setItalic(v.pending());
    b->setFont(f);
    const QString since = v.since.toString(QStringLiteral("HH:mm:ss"));
    if (v.state == OutputState::Unknown) {
        b->setToolTip(QStringLiteral("The output's state is not known since %1: it may be on. "
                                     "Link to read it from the instrument.")
                          .arg(since));
    } else if (v.pending()) {
        b->setToolTip(
            QStringLiteral("Switching %1; the output is %2 until then.")
                .arg(v.target == OutputState::On ? QStringLiteral("on") : QStringLiteral("off"),
                     v.state == OutputState::On ? QStringLiteral("on") : QStringLiteral("off")));
    } else {
        b->setToolTip(QString());
    }
    // The recorder stops whenever the output goes off, whoever switched it.
    if (wasOn && v.state != OutputState::On) Q_EMIT outputStopping();
    for (int channel : {0, 1}) showChannelMode(channel);
}

// Fast readings read each set point back: one the instrument would not take
// is shown as it holds it, and said in the second panel until taken.
void TForm1::showSetPointNotHeld(int edit, const QString& holds, const QString& sent) {
    static const char* const names[] = {"CH1 V", "CH1 A", "CH2 V", "CH2 A"};
    if (edit < 5 || edit > 8) return;
    const QString name = QString::fromLatin1(names[edit - 5]);
    QLabel* panel = m_panels[2];
    if (holds.isEmpty()) {
        if (panel->text().startsWith(name + QLatin1Char(' '))) {
            setStatusText(2, QString());
            panel->setToolTip(QString());
        }
        return;
    }
    // The panel is narrow; the tooltip says it whole.
    setStatusText(2, QStringLiteral("%1 is %2").arg(name, holds));
    panel->setToolTip(
        QStringLiteral("The instrument holds %1 for %2, not %3 as sent.").arg(holds, name, sent));
}

// Greyed, saying since when; the recorder stops as it does when the output
// goes off, so no reading from before is recorded as a new one.
void TForm1::showReadingsStale(const QDateTime& since, StaleReason why) {
    m_readings.setStale(true);
    const QString tip =
        QStringLiteral("Not current since %1: %2.")
            .arg(since.toString(QStringLiteral("HH:mm:ss")),
                 why == StaleReason::LineLost ? QStringLiteral("the line was lost")
                                              : QStringLiteral("the instrument stopped answering"));
    for (QLineEdit* e : {ui->Edit1, ui->Edit2, ui->Edit3, ui->Edit4}) greyReading(e, tip);
    for (int channel : {0, 1}) showChannelMode(channel);
    Q_EMIT outputStopping();
}

void TForm1::showReadingsFresh() {
    m_readings.setStale(false);
    for (QLineEdit* e : {ui->Edit1, ui->Edit2, ui->Edit3, ui->Edit4}) {
        e->setPalette(QPalette());
        e->setToolTip(QString());
    }
}

void TForm1::greyReading(QLineEdit* e, const QString& tip) {
    QPalette p = e->palette();
    p.setColor(QPalette::Text, p.color(QPalette::Disabled, QPalette::Text));
    e->setPalette(p);
    e->setToolTip(tip);
}

// Each reading as it comes: current again, and the channel's mode judged.
void TForm1::judgeReading(int number, const QString& text) {
    if (number < 1 || number > 4) return;
    QLineEdit* e = edit(number);
    m_readings.take(number - 1, text);
    if (!text.isEmpty() && !m_readings.stale()) {
        e->setPalette(QPalette());
        e->setToolTip(QString());
    }
    showChannelMode((number - 1) / 2);
}

// No new reading for twice its interval: greyed, saying since when.
void TForm1::showReadingAged(int channel, Quantity q, const QDateTime& readAt, int ageSeconds) {
    const int number = readingField(channel, q);
    m_readings.age(number - 1);
    if (m_readings.stale()) return;
    greyReading(edit(number), QStringLiteral("Not current since %1: no new reading for %2 s.")
                                  .arg(readAt.toString(QStringLiteral("HH:mm:ss")))
                                  .arg(ageSeconds));
}

// What the channel regulates, from its readings and its current limit.
void TForm1::showChannelMode(int channel) {
    QLabel* label = m_modeLabels[channel];
    const ModelProfile* profile = modelProfile(m_model);
    // Old readings say nothing about the mode now.
    const ChannelMode judged =
        profile
            ? judgeChannelMode(edit(1 + 2 * channel)->text(), edit(2 + 2 * channel)->text(),
                               edit(6 + 2 * channel)->text(), profile->fineStep,
                               !m_readings.stale() && m_client->output().state == OutputState::On)
            : ChannelMode::Unknown;
    const QString mode = judged == ChannelMode::ConstantCurrent   ? QStringLiteral("CC")
                         : judged == ChannelMode::ConstantVoltage ? QStringLiteral("CV")
                                                                  : QString();
    label->setText(mode);
    label->setToolTip(mode == QLatin1String("CC")
                          ? QStringLiteral("Constant current: the load draws the current limit")
                      : mode == QLatin1String("CV")
                          ? QStringLiteral("Constant voltage: below the current limit")
                          : QString());
}

}  // namespace lqs
