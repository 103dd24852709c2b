#include "device_link/step_plan.h"

#include "device_link/model_profile.h"
#include "device_link/set_point_math.h"

#include <QList>
#include <QStringList>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>
#include <utility>

namespace lqs {

using ms = std::chrono::milliseconds;

bool operator==(const ChannelTarget& a, const ChannelTarget& b) {
    return a.volts == b.volts && a.amps == b.amps;
}

bool operator==(const PlanStep& a, const PlanStep& b) {
    return a.coupling == b.coupling && a.recall == b.recall && a.channels == b.channels &&
           a.output == b.output && a.dwell == b.dwell && a.ramp == b.ramp && a.until == b.until;
}

bool operator==(const StepPlan& a, const StepPlan& b) {
    return a.steps == b.steps && a.repeats == b.repeats && a.end == b.end;
}

namespace {

QString number(double v) {
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);  // shortest that reads back the same
    return QString::fromLatin1(buf, int(r.ptr - buf));
}

QString seconds(ms t) {
    const long long n = t.count();
    QString s = QString::number(n / 1000);
    if (n % 1000) s += QLatin1Char('.') + QString::number(n % 1000).rightJustified(3, u'0');
    while (s.contains(u'.') && s.endsWith(u'0')) s.chop(1);
    return s;
}

QString quantityName(int channel, bool volts) {
    return QStringLiteral("channel %1 %2")
        .arg(channel)
        .arg(volts ? QStringLiteral("voltage") : QStringLiteral("current"));
}

}  // namespace

std::vector<HeldValues> heldAfterEachStep(const StepPlan& plan, const HeldValues& start) {
    std::vector<HeldValues> out;
    out.reserve(plan.steps.size());
    HeldValues held = start;
    for (const PlanStep& s : plan.steps) {
        if (s.recall) held = {};  // the memory's values, unknown until the run reads them
        for (std::size_t c = 0; c < 2; ++c) {
            if (s.channels[c].volts) held[c].volts = s.channels[c].volts;
            if (s.channels[c].amps) held[c].amps = s.channels[c].amps;
        }
        out.push_back(held);
    }
    return out;
}

ms passDuration(const StepPlan& plan) {
    ms total{0};
    for (const PlanStep& s : plan.steps) total += s.dwell;
    return total;
}

std::optional<ms> planDuration(const StepPlan& plan) {
    if (plan.repeats <= 0) return std::nullopt;
    return passDuration(plan) * plan.repeats;
}

ms stepDeadline(const StepPlan& plan, int pass, int index) {
    ms at = passDuration(plan) * pass;
    for (int i = 0; i < index && i < int(plan.steps.size()); ++i)
        at += plan.steps[std::size_t(i)].dwell;
    return at;
}

std::vector<PlanViolation> checkPlan(const StepPlan& plan, int modelIndex, Coupling coupling,
                                     const Envelope& envelope) {
    std::vector<PlanViolation> out;
    const auto refuse = [&](int step, QString what, bool byCoupling = false) {
        out.push_back({step, std::move(what), byCoupling});
    };
    if (plan.steps.empty()) refuse(0, QStringLiteral("The sequence has no steps."));
    if (plan.repeats < 0) refuse(0, QStringLiteral("The repeat count cannot be negative."));
    if (!modelProfile(modelIndex))
        refuse(0, QStringLiteral("Choose the instrument's model before running a sequence."));
    if (envelope.maxDuration.count() > 0) {
        const auto total = planDuration(plan);
        if (!total)
            refuse(0, QStringLiteral("The sequence repeats until stopped, longer than the %1 s "
                                     "the envelope allows.")
                          .arg(seconds(envelope.maxDuration)));
        else if (*total > envelope.maxDuration)
            refuse(0, QStringLiteral("The sequence lasts %1 s, longer than the %2 s the "
                                     "envelope allows.")
                          .arg(seconds(*total), seconds(envelope.maxDuration)));
    }
    const std::vector<HeldValues> held = heldAfterEachStep(plan, {});
    for (std::size_t i = 0; i < plan.steps.size(); ++i) {
        const PlanStep& s = plan.steps[i];
        const int n = int(i) + 1;
        if (s.coupling) coupling = *s.coupling;  // chosen before the step's set points
        if (s.recall < 0 || s.recall > 4)
            refuse(n,
                   QStringLiteral("There is no memory %1: the memories are 1 to 4.").arg(s.recall));
        if (s.dwell.count() <= 0) refuse(n, QStringLiteral("The dwell must be above 0 s."));
        if (s.ramp && i == 0)
            refuse(n, QStringLiteral("The first step cannot ramp: it has no value to start from."));
        for (int c = 1; c <= 2; ++c) {
            const ChannelTarget& t = s.channels[std::size_t(c - 1)];
            for (bool volts : {true, false}) {
                const std::optional<double>& v = volts ? t.volts : t.amps;
                if (!v) continue;
                if (c == 2 && coupling != Coupling::Independent &&
                    (volts || coupling == Coupling::Parallel)) {
                    refuse(n,
                           QStringLiteral("Channel 2's %1 follows channel 1 in %2 coupling.")
                               .arg(volts ? QStringLiteral("voltage") : QStringLiteral("current"),
                                    coupling == Coupling::Parallel ? QStringLiteral("parallel")
                                                                   : QStringLiteral("tracking")),
                           true);
                    continue;
                }
                if (!std::isfinite(*v) || *v < 0 ||
                    (modelProfile(modelIndex) && !AcceptedOnEnter(modelIndex, *v, volts)))
                    refuse(n, QStringLiteral("The %1 of %2 %3 is beyond the model's range.")
                                  .arg(quantityName(c, volts), number(*v),
                                       volts ? QStringLiteral("V") : QStringLiteral("A")));
            }
            const ChannelTarget& h = held[i][std::size_t(c - 1)];
            const std::size_t k = std::size_t(c - 1);
            if (envelope.maxVolts[k] > 0 && h.volts && *h.volts > envelope.maxVolts[k])
                refuse(n, QStringLiteral("Channel %1 is set to %2 V, above the envelope's %3 V.")
                              .arg(c)
                              .arg(number(*h.volts), number(envelope.maxVolts[k])));
            if (envelope.maxAmps[k] > 0 && h.amps && *h.amps > envelope.maxAmps[k])
                refuse(n, QStringLiteral("Channel %1 is set to %2 A, above the envelope's %3 A.")
                              .arg(c)
                              .arg(number(*h.amps), number(envelope.maxAmps[k])));
            if (envelope.maxWatts[k] > 0 && h.volts && h.amps &&
                *h.volts * *h.amps > envelope.maxWatts[k])
                refuse(n, QStringLiteral("Channel %1 may deliver %2 W, above the envelope's %3 W.")
                              .arg(c)
                              .arg(number(*h.volts * *h.amps), number(envelope.maxWatts[k])));
        }
        using K = EndCondition::Kind;
        if (s.until.kind != K::None && s.until.kind != K::Operator) {
            if (s.until.channel != 1 && s.until.channel != 2)
                refuse(n, QStringLiteral("The end condition names no channel 1 or 2."));
            const bool levelled = s.until.kind != K::EntersCc && s.until.kind != K::EntersCv;
            if (levelled && (!std::isfinite(s.until.level) || s.until.level < 0))
                refuse(n, QStringLiteral("The end condition's level must be 0 or above."));
        }
    }
    return out;
}

ms rampInterval(int baud) {
    constexpr int kFrameBits = 12 * 10;  // "VSET1:12.34" and its LF, 10 bits a byte
    if (baud <= 0) return ms(1);
    return ms((kFrameBits * 1000 + baud - 1) / baud + 1);
}

std::vector<RampPoint> rampPoints(double from, double to, ms dwell, ms interval, double modelStep) {
    const double span = to - from;
    long long n = 1;
    if (interval.count() > 0) n = std::max<long long>(1, dwell.count() / interval.count());
    if (modelStep > 0)
        n = std::min(n, std::max<long long>(1, std::llround(std::abs(span) / modelStep)));
    std::vector<RampPoint> out;
    out.reserve(std::size_t(n));
    for (long long k = 0; k < n; ++k) {
        double v = from + span * double(k + 1) / double(n);
        if (modelStep > 0) v = std::round(v / modelStep) * modelStep;
        if (k == n - 1) v = to;
        out.push_back({ms(dwell.count() * k / n), v});
    }
    return out;
}

// ---- CSV ----

namespace {

// The first two only in a file whose steps use them, so older readers and
// files stay as they were.
const char* const kColumns[] = {"coupling",      "recall",        "ch1_voltage_V", "ch1_current_A",
                                "ch2_voltage_V", "ch2_current_A", "output",        "dwell_s",
                                "ramp",          "until",         "until_channel", "until_level",
                                "repeats",       "end_state"};
constexpr int kOptionalColumns = 2;

const char* couplingName(Coupling c) {
    switch (c) {
        case Coupling::Independent:
            return "indep";
        case Coupling::Parallel:
            return "parall";
        case Coupling::Tracking:
            return "track";
    }
    return "indep";
}

struct UntilName {
    EndCondition::Kind kind;
    const char* name;
};
const UntilName kUntil[] = {
    {EndCondition::Kind::None, ""},
    {EndCondition::Kind::VoltageAtLeast, "V>="},
    {EndCondition::Kind::VoltageAtMost, "V<="},
    {EndCondition::Kind::CurrentAtLeast, "I>="},
    {EndCondition::Kind::CurrentAtMost, "I<="},
    {EndCondition::Kind::EntersCc, "CC"},
    {EndCondition::Kind::EntersCv, "CV"},
    {EndCondition::Kind::ChargeReached, "Ah"},
    {EndCondition::Kind::EnergyReached, "Wh"},
    {EndCondition::Kind::Operator, "next"},
};

const char* endStateName(EndState e) {
    switch (e) {
        case EndState::OutputOff:
            return "off";
        case EndState::HoldLast:
            return "hold";
        case EndState::BackToFirst:
            return "first";
    }
    return "off";
}

QString optionalNumber(const std::optional<double>& v) {
    return v ? number(*v) : QString();
}

std::optional<double> readNumber(const QString& text, bool* ok) {
    const QByteArray t = text.trimmed().toLatin1();
    if (t.isEmpty()) return std::nullopt;
    double v = 0;
    const auto r = std::from_chars(t.constData(), t.constData() + t.size(), v);
    if (r.ec != std::errc() || r.ptr != t.constData() + t.size() || !std::isfinite(v)) *ok = false;
    return v;
}

}  // namespace

QByteArray planToCsv(const StepPlan& plan) {
    const bool switching = std::any_of(plan.steps.begin(), plan.steps.end(),
                                       [](const PlanStep& s) { return s.coupling || s.recall; });
    QStringList lines;
    QStringList header;
    for (const char* c : kColumns) header << QString::fromLatin1(c);
    if (!switching) header.remove(0, kOptionalColumns);
    lines << header.join(u',');
    for (std::size_t i = 0; i < plan.steps.size(); ++i) {
        const PlanStep& s = plan.steps[i];
        QString until;
        for (const UntilName& u : kUntil)
            if (u.kind == s.until.kind) until = QString::fromLatin1(u.name);
        const bool levelled = s.until.kind != EndCondition::Kind::None;
        QStringList row;
        if (switching)
            row << (s.coupling ? QString::fromLatin1(couplingName(*s.coupling)) : QString())
                << (s.recall ? QString::number(s.recall) : QString());
        row << QStringList{
            optionalNumber(s.channels[0].volts),
            optionalNumber(s.channels[0].amps),
            optionalNumber(s.channels[1].volts),
            optionalNumber(s.channels[1].amps),
            s.output == OutputChange::On    ? QStringLiteral("on")
            : s.output == OutputChange::Off ? QStringLiteral("off")
                                            : QString(),
            seconds(s.dwell),
            s.ramp ? QStringLiteral("ramp") : QString(),
            until,
            levelled ? QString::number(s.until.channel) : QString(),
            levelled ? number(s.until.level) : QString(),
            i == 0 ? (plan.repeats <= 0 ? QStringLiteral("inf") : QString::number(plan.repeats))
                   : QString(),
            i == 0 ? QString::fromLatin1(endStateName(plan.end)) : QString(),
        };
        lines << row.join(u',');
    }
    return (lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8();
}

StepPlan planFromCsv(const QByteArray& csv, QString* error) {
    StepPlan plan;
    const auto fail = [&](int line, const QString& why) {
        if (error) *error = line > 0 ? QStringLiteral("Line %1: %2").arg(line).arg(why) : why;
        return StepPlan();
    };
    if (error) error->clear();
    QList<QByteArray> lines = csv.split('\n');
    while (!lines.isEmpty() && lines.back().trimmed().isEmpty()) lines.removeLast();
    if (lines.isEmpty()) return fail(0, QStringLiteral("The file is empty."));
    std::map<QString, int> at;  // column name to its place in a row
    const QStringList header = QString::fromUtf8(lines[0]).trimmed().split(u',');
    for (int i = 0; i < header.size(); ++i) {
        const QString name = header[i].trimmed();
        if (std::find_if(std::begin(kColumns), std::end(kColumns), [&](const char* c) {
                return name == QLatin1String(c);
            }) == std::end(kColumns))
            return fail(1, QStringLiteral("\"%1\" is not a column of a sequence.").arg(name));
        if (at.count(name)) return fail(1, QStringLiteral("\"%1\" comes twice.").arg(name));
        at[name] = i;
    }
    for (const char* c : {"dwell_s"})
        if (!at.count(QString::fromLatin1(c)))
            return fail(1, QStringLiteral("The column \"%1\" is missing.").arg(QLatin1String(c)));
    plan.repeats = 1;
    for (int l = 1; l < lines.size(); ++l) {
        const QStringList cells = QString::fromUtf8(lines[l]).trimmed().split(u',');
        if (cells.size() != header.size())
            return fail(l + 1, QStringLiteral("%1 cells where the header names %2.")
                                   .arg(cells.size())
                                   .arg(header.size()));
        const auto cell = [&](const char* name) {
            const auto it = at.find(QString::fromLatin1(name));
            return it == at.end() ? QString() : cells[it->second].trimmed();
        };
        bool ok = true;
        PlanStep s;
        const QString coupling = cell("coupling").toLower();
        for (Coupling c : {Coupling::Independent, Coupling::Parallel, Coupling::Tracking})
            if (coupling == QLatin1String(couplingName(c))) s.coupling = c;
        if (!coupling.isEmpty() && !s.coupling)
            return fail(l + 1, QStringLiteral("the coupling is \"indep\", \"parall\", "
                                              "\"track\" or blank."));
        const std::optional<double> recall = readNumber(cell("recall"), &ok);
        if (recall && (*recall != 1 && *recall != 2 && *recall != 3 && *recall != 4))
            return fail(l + 1, QStringLiteral("the memory to recall is 1 to 4 or blank."));
        s.recall = recall ? int(*recall) : 0;
        s.channels[0].volts = readNumber(cell("ch1_voltage_V"), &ok);
        s.channels[0].amps = readNumber(cell("ch1_current_A"), &ok);
        s.channels[1].volts = readNumber(cell("ch2_voltage_V"), &ok);
        s.channels[1].amps = readNumber(cell("ch2_current_A"), &ok);
        const std::optional<double> dwell = readNumber(cell("dwell_s"), &ok);
        if (!ok) return fail(l + 1, QStringLiteral("a value is not a number."));
        if (!dwell || *dwell <= 0 || *dwell > 7 * 24 * 3600.0)
            return fail(l + 1, QStringLiteral("the dwell must be above 0 s and at most a week."));
        s.dwell = ms(std::llround(*dwell * 1000));
        const QString output = cell("output").toLower();
        if (output == QLatin1String("on"))
            s.output = OutputChange::On;
        else if (output == QLatin1String("off"))
            s.output = OutputChange::Off;
        else if (!output.isEmpty() && output != QLatin1String("keep"))
            return fail(l + 1, QStringLiteral("the output is \"on\", \"off\" or blank."));
        const QString ramp = cell("ramp").toLower();
        if (ramp != QLatin1String("ramp") && !ramp.isEmpty())
            return fail(l + 1, QStringLiteral("the ramp column is \"ramp\" or blank."));
        s.ramp = !ramp.isEmpty();
        const QString until = cell("until");
        bool known = false;
        for (const UntilName& u : kUntil)
            if (until.compare(QLatin1String(u.name), Qt::CaseInsensitive) == 0) {
                s.until.kind = u.kind;
                known = true;
            }
        if (!known) return fail(l + 1, QStringLiteral("\"%1\" is no end condition.").arg(until));
        if (s.until.kind != EndCondition::Kind::None) {
            const std::optional<double> channel = readNumber(cell("until_channel"), &ok);
            const std::optional<double> level = readNumber(cell("until_level"), &ok);
            if (!ok || (channel && *channel != 1 && *channel != 2))
                return fail(l + 1, QStringLiteral("the end condition's channel or level is "
                                                  "not a number of its kind."));
            s.until.channel = channel ? int(*channel) : 1;
            s.until.level = level.value_or(0);
        }
        if (l == 1) {
            const QString repeats = cell("repeats").toLower();
            if (repeats == QLatin1String("inf")) {
                plan.repeats = 0;
            } else if (!repeats.isEmpty()) {
                bool isInt = false;
                plan.repeats = repeats.toInt(&isInt);
                if (!isInt || plan.repeats < 1)
                    return fail(l + 1, QStringLiteral("the repeat count is a whole number from "
                                                      "1, or \"inf\"."));
            }
            const QString end = cell("end_state").toLower();
            if (end == QLatin1String("hold"))
                plan.end = EndState::HoldLast;
            else if (end == QLatin1String("first"))
                plan.end = EndState::BackToFirst;
            else if (!end.isEmpty() && end != QLatin1String("off"))
                return fail(l + 1,
                            QStringLiteral("the end state is \"off\", \"hold\" or \"first\"."));
        }
        plan.steps.push_back(s);
    }
    return plan;
}

}  // namespace lqs

namespace lqs {

void ActionRecorder::start(Time at) {
    m_plan = StepPlan();
    m_plan.end = EndState::HoldLast;  // a replay leaves the bench as the operator did
    m_started = at;
    m_stepBegan.reset();
}

PlanStep& ActionRecorder::stepAt(Time at) {
    if (m_stepBegan && at - *m_stepBegan < m_together) return m_plan.steps.back();
    if (m_stepBegan && !m_plan.steps.empty())
        m_plan.steps.back().dwell = std::chrono::duration_cast<ms>(at - *m_stepBegan);
    m_plan.steps.emplace_back();
    m_stepBegan = at;
    return m_plan.steps.back();
}

void ActionRecorder::setPoint(Time at, int channel, bool volts, double value) {
    if (!m_started) return;
    ChannelTarget& t = stepAt(at).channels[channel == 2 ? 1 : 0];
    (volts ? t.volts : t.amps) = value;
}

void ActionRecorder::output(Time at, bool on) {
    if (!m_started) return;
    stepAt(at).output = on ? OutputChange::On : OutputChange::Off;
}

void ActionRecorder::coupling(Time at, Coupling c) {
    if (!m_started) return;
    stepAt(at).coupling = c;
}

// A recall replaces the set points and switches the output off: what was
// given before it in the same step would be lost, so it begins a step.
void ActionRecorder::recall(Time at, int slot) {
    if (!m_started || slot < 1 || slot > 4) return;
    PlanStep* step = &stepAt(at);
    if (step->recall || step->channels != std::array<ChannelTarget, 2>{} ||
        step->output != OutputChange::Unchanged) {
        step->dwell = std::max(ms(1), std::chrono::duration_cast<ms>(at - *m_stepBegan));
        m_stepBegan = at;
        step = &m_plan.steps.emplace_back();
    }
    step->recall = slot;
}

StepPlan ActionRecorder::finish(Time at) {
    if (m_stepBegan && !m_plan.steps.empty())
        m_plan.steps.back().dwell =
            std::max(ms(1), std::chrono::duration_cast<ms>(at - *m_stepBegan));
    m_started.reset();
    m_stepBegan.reset();
    return std::exchange(m_plan, StepPlan());
}

}  // namespace lqs
