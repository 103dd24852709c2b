// The recorder's acquisition: Start and Stop, the sample and second ticks,
// and the journal that keeps unsaved lines on disk.
#include "recorder/wave_window.h"

#include "common/convert.h"
#include "common/error_box.h"
#include "recorder/plot_math.h"
#include "recorder/record_files.h"
#include "recorder/recorder_host.h"
#include "recorder/recorder_log.h"
#include "ui_wave_window.h"

#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace lqs {

namespace {

// One pause of the wait for the readings. False when something else ended
// it: the program is quitting, and from then on every nested loop returns at
// once, so waiting on would spin.
bool pauseFor(int ms) {
    QEventLoop loop;
    bool elapsed = false;
    QTimer::singleShot(ms, &loop, [&] {
        elapsed = true;
        loop.quit();
    });
    loop.exec();
    return elapsed;
}

}  // namespace

void TForm_Wave::Btn_StartClick() {
    if (m_waiting) return;  // already waiting for the readings
    if (m_host && m_host->outputCaption() == QLatin1String("OFF")) {
        ShowMessage(QStringLiteral("Please Turn on Device into Output(Run) Mode"));
        return;
    }
    if (state.PointOperation.isEmpty()) {
        ShowMessage(QStringLiteral("Please setup the time length of record first."));
        return;
    }
    // A new recording replaces the table and the journal: lines no Save has
    // written are asked about first, as closing does.
    if (!confirmUnsaved(QStringLiteral("Save them before starting a new recording?"))) return;
    // Wait for all four readings, letting the link fill them meanwhile. The
    // wait ends without starting when the output goes off or Stop is pressed.
    m_waiting = true;
    m_stopWaiting = false;
    QPointer<TForm_Wave> self(this);
    for (;;) {
        const bool paused = pauseFor(20);
        if (!self) return;
        if (!paused || m_stopWaiting ||
            (m_host && m_host->outputCaption() == QLatin1String("OFF"))) {
            m_waiting = false;
            return;
        }
        const QStringList r = m_host ? m_host->readingTexts() : QStringList();
        if (r.size() == 4 &&
            std::none_of(r.begin(), r.end(), [](const QString& t) { return t.isEmpty(); }))
            break;
    }
    m_waiting = false;

    resetTimeLabels();
    setChoosersEnabled(false);
    state.WindowFull = false;
    for (QTimer* t : {tmr_All, tmr_Scale, tmr_time}) {
        if (!t->isActive()) t->start();  // a running timer keeps its schedule
    }
    state.PointCount = 0;
    state.PlotSliceMs = state.TimeSliceMs;
    state.SampleNo = -1;
    state.SecondTicks = 1;
    state.ElapsedS = state.ElapsedM = state.ElapsedH = 0;
    state.Table = RecordTable::withHeader(state.RecordCounters);
    state.Trips.clear();
    state.Steps.clear();
    m_slice.clear();  // readings from before the start are no sample of it
    m_unsaved = 0;
    startJournal();
    startKeptReadings(Now());
    for (auto& channel : m_max) channel[0] = channel[1] = Extreme{};
    for (auto& channel : m_min) channel[0] = channel[1] = Extreme{};
    pb1Paint();
}

void TForm_Wave::outputStopping() {
    Btn_StopClick();
}

void TForm_Wave::Btn_StopClick() {
    m_stopWaiting = true;
    for (QTimer* t : {tmr_All, tmr_Scale, tmr_time, tmr_Journal}) t->stop();
    // Kept on disk until the lines are saved or discarded.
    if (m_unsaved == 0)
        m_journal.remove();
    else
        m_journal.close();
    stopKeptReadings(m_unsaved == 0);
    setChoosersEnabled(true);
}

void TForm_Wave::tmr_AllTimer() {
    Btn_StopClick();
}

// A slice cut short by switching off is not carried into the next switch on.
void TForm_Wave::setFastReadings(bool on) {
    m_fast = on;
    m_slice.clear();
}

void TForm_Wave::takeReading(int index, const QString& text) {
    if (m_fast) m_slice.add(index, text);
}

bool TForm_Wave::Panduandaodian() const {
    return qint64(state.SecondTicks) * 1000 ==
           qint64(spanMinutes(ui->cbb_Time->currentText())) * 60000 + 1000;
}

void TForm_Wave::tmr_timeTimer() {
    RecorderState& s = state;
    if (s.SecondTicks == 1) s.TotalS = s.TotalM = s.TotalH = s.TotalD = 0;
    s.TotalS += 1;
    if (Panduandaodian()) s.WindowFull = true;
    s.SecondTicks += 1;
    if (!s.WindowFull) return;
    addOneSecond(s.ElapsedH, s.ElapsedM, s.ElapsedS);
    showTimeLabels();
}

void TForm_Wave::trackExtremes(const QStringList& readings, const double (&values)[4]) {
    for (int i = 0; i < 4; ++i) {
        Extreme& hi = m_max[i / 2][i % 2];
        Extreme& lo = m_min[i / 2][i % 2];
        if (!hi.set || values[i] > hi.value) hi = {true, values[i], readings[i]};
        if (!lo.set || values[i] < lo.value) lo = {true, values[i], readings[i]};
    }
}

QString TForm_Wave::extremeLine(int channel, bool max) const {
    const auto& e = max ? m_max[channel] : m_min[channel];
    return QStringLiteral("CH%1 %2:%3V %4A")
        .arg(channel + 1)
        .arg(max ? QStringLiteral("Max") : QStringLiteral("Min"), e[0].text, e[1].text);
}

void TForm_Wave::tmr_ScaleTimer() {
    RecorderState& s = state;
    if (!s.Table) return;  // no recording has started
    const QDateTime when = Now();
    const QStringList latest = m_host ? m_host->readingTexts() : QStringList(4, QString());
    const QStringList r = m_fast ? m_slice.take(s.PointOperation, latest) : latest;
    // A reading that is not current is none: the slice gets a gap, not an old value.
    if (r.size() < 4 ||
        std::any_of(r.begin(), r.end(), [](const QString& t) { return t.isEmpty(); }))
        return;
    double v[4];
    try {
        for (int i = 0; i < 4; ++i) v[i] = StrToFloat(r.value(i));
    } catch (const EConvertError& e) {
        // One box at a time: ticks that come while it is open are skipped quietly.
        if (m_tickErrorShown) return;
        m_tickErrorShown = true;
        QPointer<TForm_Wave> self(this);
        showErrorBox(this, QString::fromUtf8(e.what()));
        if (self) m_tickErrorShown = false;
        return;
    }

    if (s.TotalS >= 60) {
        s.TotalM += s.TotalS / 60;
        s.TotalS %= 60;
    }
    if (s.TotalM >= 60) {
        s.TotalH += s.TotalM / 60;
        s.TotalM %= 60;
    }
    if (s.TotalH >= 24) {
        s.TotalD += s.TotalH / 24;
        s.TotalH %= 24;
    }

    trackExtremes(r, v);
    setSummary(
        {QStringLiteral("Total Time:%1d %2:%3:%4")
             .arg(s.TotalD)
             .arg(s.TotalH)
             .arg(s.TotalM)
             .arg(s.TotalS),
         QStringLiteral("Time Slice: %1sec").arg(roundHalfEven(tmr_Scale->interval() / 1000.0)),
         QStringLiteral("Sample: %1").arg(s.SampleNo + 1), extremeLine(0, true),
         extremeLine(0, false), extremeLine(1, true), extremeLine(1, false)});

    const bool full = s.WindowFull || s.PointCount >= kMaxPoints;  // never past the array's end

    s.SampleNo += 1;
    s.Table->appendSample(s.SampleNo, when, r.value(0), r.value(1), r.value(2), r.value(3),
                          s.Table->hasCounters() ? &m_counters : nullptr);
    ++m_unsaved;
    journalLastLine(false);

    s.PlotSliceMs = s.TimeSliceMs;
    PlotSample sample{when, {v[0], v[1], v[2], v[3]}};
    if (full) {
        // Scrolling: every column shows the next sample on.
        if (s.PointCount >= 1) {
            auto first = s.Points.begin() + 1, last = first + s.PointCount;
            std::move(first + 1, last, first);
            *(last - 1) = std::move(sample);
        }
    } else {
        s.PointCount += 1;
        s.Points[std::size_t(s.PointCount)] = std::move(sample);
    }
    // Painted whole every tick (a fraction of a millisecond), so the live
    // plot is the one any repaint shows.
    pb1Paint();
}

void TForm_Wave::journalLastLine(bool sync) {
    if (!m_journal.isOpen()) return;
    try {
        m_journal.append(state.Table->lineView(state.Table->lineCount() - 1));
        if (sync) m_journal.syncIfWritten();
    } catch (const EFileError& e) {
        journalFailed(QString::fromUtf8(e.what()));
    }
}

void TForm_Wave::setCounters(int channel, double ampHours, double wattHours) {
    if ((channel != 1 && channel != 2) || !std::isfinite(ampHours) || !std::isfinite(wattHours))
        return;
    const std::size_t at = channel == 2 ? 2 : 0;
    m_counters[at] = ampHours;
    m_counters[at + 1] = wattHours;
}

void TForm_Wave::recordTrip(int channel, const QString& limit, double reading, double level,
                            const QString& unit) {
    RecorderState& s = state;
    if (!s.Table || !tmr_Scale->isActive()) return;  // no recording running
    const QDateTime when = Now();
    // As the readings are shown; charge and energy to a tenth of a milli-unit.
    const int decimals = unit.endsWith(QLatin1Char('h')) ? 4 : 3;
    const auto withUnit = [&](double v) {
        return unit.isEmpty()
                   ? QString()
                   : QStringLiteral("%1 %2").arg(QString::number(v, 'f', decimals), unit);
    };
    const QString read = withUnit(reading), limitText = withUnit(level);
    s.Table->appendLine(tripLine(when, channel, limit, read, limitText));
    ++m_unsaved;
    journalLastLine(true);  // a trip is rare and worth the sync
    qCInfo(lqsRecorder).noquote() << "trip recorded: CH" << channel << limit << read << limitText;

    QString text = QStringLiteral("CH%1 tripped on %2 at %3")
                       .arg(channel)
                       .arg(limit, when.toString(QStringLiteral("HH:mm:ss")));
    if (!unit.isEmpty()) text += QStringLiteral(": %1 read, limit %2").arg(read, limitText);
    s.Trips.push_back({markAt(when), text});
    pb1Paint();
}

// Where it falls after the last sample, in slices.
double TForm_Wave::markAt(const QDateTime& when) const {
    const RecorderState& s = state;
    double since = 0;
    if (s.PointCount >= 1 && s.PlotSliceMs > 0) {
        since = double(s.Points[std::size_t(s.PointCount)].when.msecsTo(when)) / s.PlotSliceMs;
        since = std::clamp(since, 0.0, 1.0);
    }
    return s.SampleNo + since;
}

void TForm_Wave::recordStep(int step, int pass) {
    if (!state.Table || !tmr_Scale->isActive()) return;  // no recording running
    const QDateTime when = Now();
    addStepMark(when, stepLine(when, step, pass), QString::number(step),
                QStringLiteral("Sequence step %1, repeat %2, at %3")
                    .arg(step)
                    .arg(pass)
                    .arg(when.toString(QStringLiteral("HH:mm:ss"))));
}

void TForm_Wave::recordPlanEnd(const QString& why) {
    if (!state.Table || !tmr_Scale->isActive()) return;
    const QDateTime when = Now();
    addStepMark(when, sequenceEndLine(when, why), QStringLiteral("end"),
                QStringLiteral("Sequence ended at %1: %2")
                    .arg(when.toString(QStringLiteral("HH:mm:ss")), why));
}

void TForm_Wave::addStepMark(const QDateTime& when, const QByteArray& line, const QString& label,
                             const QString& text) {
    RecorderState& s = state;
    s.Table->appendLine(line);
    ++m_unsaved;
    journalLastLine(true);  // as a trip: the run's record should survive a kill
    qCInfo(lqsRecorder).noquote() << "sequence mark recorded:" << text;
    // Short steps repeated for days would pile up: only those still on the plot stay.
    const double firstShown = s.SampleNo - s.PointCount;
    std::erase_if(s.Steps, [&](const StepMark& m) { return m.at < firstShown; });
    s.Steps.push_back({markAt(when), label, text});
    pb1Paint();
}

void TForm_Wave::setChoosersEnabled(bool enabled) {
    for (QComboBox* c : {ui->cbb_Time, ui->cbb_Voltage, ui->cbb_Current}) c->setEnabled(enabled);
}

void TForm_Wave::startJournal() {
    if (RecordDir.isEmpty()) return;
    try {
        m_journal.open(journalPath(RecordDir), state.Table->lineView(0));
    } catch (const EFileError& e) {
        journalFailed(QString::fromUtf8(e.what()));
        return;
    }
    qCDebug(lqsRecorder).noquote() << "journal started:" << journalPath(RecordDir);
    tmr_Journal->start();
}

// The recording goes on; only what a kill would take is at risk.
void TForm_Wave::journalFailed(const QString& why) {
    qCInfo(lqsRecorder).noquote() << "journal given up:" << why;
    m_journal.close();
    tmr_Journal->stop();
    if (m_host)
        m_host->setStatusText(
            0,
            QStringLiteral("Recorded lines are no longer kept on disk until saved: %1").arg(why));
}

}  // namespace lqs
