// How long the main window takes between the instrument's wire and its
// fields, and the program's CPU, at 9600 baud with a 10 ms answer time.
// The program is reached only through its window: controls found by object
// name, the port dialog, the Link and output buttons, the Fast Readings
// action and the window's own public calls, so the figures stay comparable
// whatever the link behind the window becomes.
//
//   reply-*   the simulator wrote a reply's last byte (its clock of the line)
//             to the field's textChanged
//   enter-*   the Enter key in Edit5 to the simulator reading the VSET1: frame
//   cpu-*     getrusage of this process over a fixed stretch; the simulator
//             is a child process (lqs-sim beside this program), so its work
//             is left out
//
// Latencies use the simulator in this process. A field that keeps its text
// emits nothing, so while readings are timed each channel's load swings
// between constant voltage and constant current after every IOUTn? query:
// every reading reply then differs from the one before. lqs-sim's readings
// hold still, so in the CPU runs the fields keep their text after the first.
#include "control_panel/app_windows.h"
#include "control_panel/main_window.h"
#include "control_panel/querying_dialog.h"
#include "named.h"
#include "pty_endpoint.h"
#include "serial/port_dialog.h"
#include "serial/port_list.h"
#include "sim_child.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QFile>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

using namespace lqs;
using test::action;
using test::field;
using test::onMain;

namespace {

using Clock = std::chrono::steady_clock;

double msOf(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Context switches of all the program's threads: each is a thread put to
// sleep and woken, the cost that dominates a program idling on a slow line
// and a figure that shared machines' noise leaves alone.
long switches() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_nvcsw + u.ru_nivcsw;
}

int argValue(const QStringList& args, const QString& name, int fallback) {
    const qsizetype at = args.indexOf(name);
    return at >= 0 && at + 1 < args.size() ? args.at(at + 1).toInt() : fallback;
}

QString argText(const QStringList& args, const QString& name, const QString& fallback) {
    const qsizetype at = args.indexOf(name);
    return at >= 0 && at + 1 < args.size() ? args.at(at + 1) : fallback;
}

QString loadAverage() {
    QFile f(QStringLiteral("/proc/loadavg"));
    if (!f.open(QIODevice::ReadOnly)) return QStringLiteral("?");
    const QList<QByteArray> parts = f.readAll().split(' ');
    return parts.size() >= 3 ? QString::fromLatin1(parts[0] + ' ' + parts[1] + ' ' + parts[2])
                             : QStringLiteral("?");
}

// Runs the event loop until done() or ms have passed. Conditions on widgets
// are looked at every checkMs too; a plain pause runs no timer of its own, so
// it adds nothing to a CPU figure.
class Waiter {
public:
    bool wait(const std::function<bool()>& done, int ms, int checkMs = 20) {
        if (done()) return true;
        QEventLoop loop;
        m_done = done;
        m_loop = &loop;
        QTimer check;
        QObject::connect(&check, &QTimer::timeout, &loop, [this] { poke(); });
        if (checkMs > 0) check.start(checkMs);
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        loop.exec();
        m_loop = nullptr;
        m_done = nullptr;
        return done();
    }
    void pause(int ms) {
        wait([] { return false; }, ms, 0);
    }
    void poke() {
        if (m_loop && m_done && m_done()) m_loop->quit();
    }

private:
    std::function<bool()> m_done;
    QEventLoop* m_loop = nullptr;
};

struct Figure {
    std::vector<double> ms;
    int missed = 0;     // no frame or no change in time
    int unmatched = 0;  // a change no reply accounts for
};

// Nearest rank: the smallest sample with at least p of them at or below it.
double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const auto rank = std::size_t(std::ceil(p * double(v.size())));
    return v[std::max<std::size_t>(rank, 1) - 1];
}

void printFigure(const char* label, const Figure& f) {
    if (f.ms.empty()) {
        std::printf("%-58s no samples (%d missed, %d unmatched)\n", label, f.missed, f.unmatched);
    } else {
        std::printf("%-58s median %7.1f ms  p90 %7.1f ms  worst %7.1f ms  (%zu samples", label,
                    percentile(f.ms, 0.5), percentile(f.ms, 0.9),
                    *std::max_element(f.ms.begin(), f.ms.end()), f.ms.size());
        if (f.missed) std::printf(", %d missed", f.missed);
        if (f.unmatched) std::printf(", %d unmatched", f.unmatched);
        std::printf(")\n");
    }
    std::fflush(stdout);
}

// The query whose reply each field shows, Edit1 .. Edit8.
const char* const kFieldQuery[9] = {"",       "VOUT1?", "IOUT1?", "VOUT2?", "IOUT2?",
                                    "VSET1?", "ISET1?", "VSET2?", "ISET2?"};

bool sameNumber(const QString& a, const QString& b) {
    bool okA = false, okB = false;
    const double x = a.toDouble(&okA), y = b.toDouble(&okB);
    return okA && okB && std::abs(x - y) < 0.0005;
}

// A link's start-up has ended once the Querying dialog closed and the
// window is enabled again; opened and closed through the window alone.
bool startupEnded(const TForm1& form) {
    return form.frameEnabled() && !form.windows().Querying->isVisible();
}

// The program as an operator starts it: its port dialog offers the
// simulator's pseudo-terminal (linked into dir, which must outlive it) and
// opens it, and the series is the LQS-6200B the simulator answers as.
std::unique_ptr<TForm1> programOn(const QString& slave, const QTemporaryDir& dir) {
    QFile::link(slave, dir.filePath(QStringLiteral("ttyBench")));
    PortListSources ports;
    ports.sysClassTty = ports.dev = dir.filePath(QStringLiteral("none"));
    ports.linkDirectories = {{dir.path(), QStringLiteral("simulated instrument")}};
    std::unique_ptr<TForm1> form(createWindows(ports));
    form->Beep = [](int, int) {};
    form->ConfirmReset = [] { return true; };
    form->show();
    action(form, "ToolButton3")->trigger();
    QTest::mouseClick(test::named<QPushButton>(form->windows().Form3, "Button1"), Qt::LeftButton);
    action(form, "LQS6200B1")->trigger();
    return form;
}

// ---- Latencies, with the simulator in this process.

class LatencyRun {
public:
    LatencyRun(int samples, int spreadMs, unsigned seed, int answerMs)
        : m_samples(samples), m_spreadMs(spreadMs), m_rng(seed) {
        sim::LineModel line;
        line.answer = std::chrono::milliseconds(answerMs);
        m_sim.setLineModel(line);
        // Known set points and loads before the first link: 10 V and 1 A
        // into 20 ohms is constant voltage at half the current limit.
        m_sim.withInstrument([](sim::Instrument& in) {
            for (int ch : {1, 2}) {
                in.setVoltageSet(ch, 10.0);
                in.setCurrentSet(ch, 1.0);
                in.setLoad(ch, 20.0);
            }
            return 0;
        });
        m_sim.setFrameObserver([this](const sim::Exchange& e) { observe(e); });
        m_sim.start();
    }
    ~LatencyRun() {
        m_sim.setFrameObserver({});
        m_form.reset();
        m_sim.stop();
    }

    bool open() {
        m_form = programOn(QString::fromStdString(m_sim.slavePath()), m_dir);
        for (int k = 1; k <= 8; ++k) {
            const QByteArray name = "Edit" + QByteArray::number(k);
            QObject::connect(field(m_form, name.constData()), &QLineEdit::textChanged, &m_sink,
                             [this, k](const QString& text) {
                                 const Clock::time_point at = Clock::now();
                                 if (!m_watching[std::size_t(k)]) return;
                                 m_changes.push_back({k, text, at, m_sim.repliesSent()});
                                 m_waiter.poke();
                             });
        }
        return link();
    }

    // The Link button, and the start-up query to its end.
    bool link() {
        const std::size_t from = commandCount();
        action(m_form, "ToolButton1")->trigger();
        return m_waiter.wait(
            [&] {
                return sentSince(from, "*IDN?") &&
                       (sentSince(from, "OUT0") || sentSince(from, "OUT1")) &&
                       startupEnded(*m_form);
            },
            30000);
    }

    // 'reply-setpoints': the start-up query's VSET1? .. ISET2? replies to
    // Edit5 .. Edit8; the instrument holds new set points before each link.
    Figure setPointReadBack() {
        Figure f;
        for (int k = 0; int(f.ms.size()) < m_samples && k < m_samples + 5; ++k) {
            m_sim.withInstrument([k](sim::Instrument& in) {
                in.setVoltageSet(1, 3.00 + 1.37 * (k % 15));
                in.setCurrentSet(1, 0.30 + 0.11 * (k % 20));
                in.setVoltageSet(2, 4.00 + 1.13 * (k % 17));
                in.setCurrentSet(2, 0.40 + 0.07 * (k % 25));
                return 0;
            });
            watch({5, 6, 7, 8});
            if (!link()) {
                ++f.missed;
                std::fprintf(stderr, "bench_latency: a start-up did not end\n");
            }
            m_waiter.pause(200);  // any change still on its way
            resolve(f);
        }
        f.ms.resize(std::min(f.ms.size(), std::size_t(m_samples)));
        return f;
    }

    // 'reply-classic' and 'reply-fast': Edit1 .. Edit4 with the output on.
    Figure readings(bool fast) {
        Figure f;
        if (!outputOn(fast)) {
            f.missed = m_samples;
            return f;
        }
        m_swing = true;
        watch({1, 2, 3, 4});
        const int perSampleMs = fast ? 200 : 3000;
        m_waiter.wait([&] { return int(m_changes.size()) >= m_samples; },
                      m_samples * perSampleMs + 10000);
        m_swing = false;
        m_waiter.pause(200);
        resolve(f);
        f.ms.resize(std::min(f.ms.size(), std::size_t(m_samples)));
        outputOff();
        return f;
    }

    // 'enter-off', 'enter-classic', 'enter-fast': a new value typed into
    // Edit5 and Enter, at random moments, to the VSET1: frame's arrival.
    Figure enter(bool output, bool fast) {
        Figure f;
        if (output && !outputOn(fast)) {
            f.missed = m_samples;
            return f;
        }
        m_sim.clearTranscript();  // keeps the frames searched below few
        QLineEdit* edit5 = field(m_form, "Edit5");
        std::uniform_int_distribution<int> pause(0, m_spreadMs);
        for (int i = 0; i < m_samples; ++i) {
            m_waiter.pause(pause(m_rng));
            if (!m_waiter.wait([&] { return m_form->frameEnabled() && edit5->isEnabled(); },
                               10000)) {
                ++f.missed;
                continue;
            }
            double value = 9.00 + 0.01 * ((i * 7) % 100);
            if (sameNumber(QString::number(value, 'f', 2), edit5->text())) value += 0.5;
            const QString text = QString::number(value, 'f', 2);
            const std::size_t from = commandCount();
            QTest::keyClick(edit5, Qt::Key_A, Qt::ControlModifier);
            QTest::keyClicks(edit5, text);
            const Clock::time_point pressed = Clock::now();
            QTest::keyClick(edit5, Qt::Key_Return);
            if (!m_waiter.wait([&] { return setPointSentSince(from, text); }, 10000)) {
                ++f.missed;
                continue;
            }
            const std::vector<std::string> frames = m_sim.wireFrames();
            const std::vector<Clock::time_point> times = m_sim.wireTimes();
            bool found = false;
            for (std::size_t j = std::min(frames.size(), times.size()); j-- > 0;) {
                const QString frame = QString::fromStdString(frames[j]).trimmed();
                if (times[j] >= pressed && frame.startsWith(QLatin1String("VSET1:")) &&
                    sameNumber(frame.mid(6), text)) {
                    f.ms.push_back(msOf(times[j] - pressed));
                    found = true;
                    break;
                }
            }
            if (!found) ++f.unmatched;
        }
        if (output) outputOff();
        return f;
    }

private:
    struct Change {
        int field;
        QString text;
        Clock::time_point at;
        std::size_t written;  // replies the simulator had written by then
    };
    struct Reply {
        std::string query;
        QString text;
    };

    // On the simulator's thread, for every frame once it took effect. Each
    // reply before this frame has been written by now, and none after it, so
    // the end it reports belongs to the reply counted last.
    void observe(const sim::Exchange& e) {
        const std::size_t written = m_sim.repliesSent();
        const Clock::time_point end = m_sim.lastReplyEnd();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (written > 0) m_ends[written] = end;
            m_commands.push_back(e.command);
            if (e.kind != sim::ReplyKind::None)
                m_replies.push_back({e.command, QString::fromStdString(e.reply)});
        }
        if (m_swing) {
            if (e.command == "IOUT1?") swing(1);
            if (e.command == "IOUT2?") swing(2);
        }
        QMetaObject::invokeMethod(
            &m_sink, [this] { m_waiter.poke(); }, Qt::QueuedConnection);
    }

    // Half the current limit (constant voltage) or twice it (constant
    // current, at half the voltage): the next V and I replies both differ.
    void swing(int channel) {
        const std::size_t i = std::size_t(channel);
        m_cv[i] = !m_cv[i];
        const bool cv = m_cv[i];
        m_sim.withInstrument([&](sim::Instrument& in) {
            const double v = in.voltageSet(channel), a = in.currentSet(channel);
            if (v > 0 && a > 0) in.setLoad(channel, cv ? 2 * v / a : 0.5 * v / a);
            return 0;
        });
    }

    std::size_t commandCount() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_commands.size();
    }

    bool sentSince(std::size_t from, const std::string& command) {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (std::size_t i = from; i < m_commands.size(); ++i)
            if (m_commands[i] == command) return true;
        return false;
    }

    // A VSET1: frame for this value, however the number is written.
    bool setPointSentSince(std::size_t from, const QString& value) {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (std::size_t i = from; i < m_commands.size(); ++i) {
            const QString c = QString::fromStdString(m_commands[i]);
            if (c.startsWith(QLatin1String("VSET1:")) && sameNumber(c.mid(6), value)) return true;
        }
        return false;
    }

    void watch(std::initializer_list<int> fields) {
        m_watching.fill(false);
        for (int k : fields) m_watching[std::size_t(k)] = true;
        m_changes.clear();
    }

    // Each change against the latest reply to its field's query that had
    // ended by then.
    void resolve(Figure& f) {
        m_watching.fill(false);
        // A reply's end is seen with the frame after it; the poll's next
        // query comes within a second or two.
        std::size_t written = 0;
        for (const Change& c : m_changes) written = std::max(written, c.written);
        m_waiter.wait(
            [&] {
                std::lock_guard<std::mutex> lock(m_mutex);
                return m_ends.lower_bound(written) != m_ends.end();
            },
            5000);
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const Change& c : m_changes) {
            if (c.text.isEmpty()) continue;  // cleared, not a reply
            const std::string query = kFieldQuery[c.field];
            const Reply* reply = nullptr;
            Clock::time_point end;
            for (std::size_t r = m_replies.size(); r >= 1; --r) {
                if (m_replies[r - 1].query != query) continue;
                const auto known = m_ends.find(r);
                if (known == m_ends.end()) {
                    if (r <= c.written) break;  // written, but its end was never seen
                    continue;
                }
                if (known->second > c.at) continue;
                reply = &m_replies[r - 1];
                end = known->second;
                break;
            }
            if (!reply || !sameNumber(reply->text, c.text)) {
                ++f.unmatched;
                std::fprintf(stderr, "bench_latency: Edit%d became \"%s\"; last %s reply: \"%s\"\n",
                             c.field, qPrintable(c.text), query.c_str(),
                             reply ? qPrintable(reply->text) : "none seen");
                continue;
            }
            f.ms.push_back(msOf(c.at - end));
        }
        m_changes.clear();
    }

    // Fast Readings chosen or not, then the output button; polling has begun
    // once the first reading is asked after OUT1.
    bool outputOn(bool fast) {
        action(m_form, "FastReadings1")->setChecked(fast);
        QPushButton* output = onMain<QPushButton>(m_form, "BitBtn4");
        const std::size_t from = commandCount();
        QTest::mouseClick(output, Qt::LeftButton);
        const bool on = m_waiter.wait(
            [&] {
                return output->text() == QLatin1String("ON") && sentSince(from, "OUT1") &&
                       sentSince(from, "VOUT1?");
            },
            15000);
        if (!on) std::fprintf(stderr, "bench_latency: the output did not come on\n");
        if (fast) m_waiter.pause(6000);  // the fast poll learns its pause meanwhile
        return on;
    }

    void outputOff() {
        QPushButton* output = onMain<QPushButton>(m_form, "BitBtn4");
        const std::size_t from = commandCount();
        if (output->text() == QLatin1String("ON")) QTest::mouseClick(output, Qt::LeftButton);
        if (!m_waiter.wait(
                [&] {
                    return output->text() == QLatin1String("OFF") && sentSince(from, "OUT0") &&
                           m_form->frameEnabled();
                },
                15000))
            std::fprintf(stderr, "bench_latency: the output did not go off\n");
        action(m_form, "FastReadings1")->setChecked(false);
        m_waiter.pause(1500);  // any sequence after OUT0 ends
    }

    int m_samples;
    int m_spreadMs;
    std::mt19937 m_rng;
    sim::PtyEndpoint m_sim{sim::Model::B};
    QTemporaryDir m_dir;
    std::unique_ptr<TForm1> m_form;
    QObject m_sink;
    Waiter m_waiter;
    std::array<bool, 9> m_watching{};
    std::vector<Change> m_changes;

    std::mutex m_mutex;  // the simulator's thread and ours
    std::vector<std::string> m_commands;
    std::vector<Reply> m_replies;                     // reply n is m_replies[n - 1]
    std::map<std::size_t, Clock::time_point> m_ends;  // reply n's last byte
    std::atomic<bool> m_swing{false};
    std::array<bool, 3> m_cv{};  // the simulator's thread only
};

// ---- CPU, with the simulator a child process.

struct CpuFigure {
    double percent = -1;
    double seconds = 0;
    double switchesPerSecond = 0;
    bool accessibilityActive = false;
};

class CpuRun {
public:
    explicit CpuRun(int answerMs) : m_answerMs(answerMs) {}

    bool open() {
        const QString slave =
            m_sim.start({QStringLiteral("--answer-ms"), QString::number(m_answerMs)});
        if (slave.isEmpty()) {
            std::fprintf(stderr, "bench_latency: lqs-sim did not start\n");
            return false;
        }
        m_form = programOn(slave, m_dir);
        action(m_form, "ToolButton1")->trigger();
        // The start-up takes seconds at the instrument's pace: its dialog is seen.
        const bool began =
            m_waiter.wait([&] { return m_form->windows().Querying->isVisible(); }, 10000);
        if (!began || !m_waiter.wait([&] { return startupEnded(*m_form); }, 30000)) {
            std::fprintf(stderr, "bench_latency: the link did not settle\n");
            return false;
        }
        m_waiter.pause(1000);
        return true;
    }

    // With the output on: classic first, then Fast Readings while it stays on.
    CpuFigure measure(bool fast, int settleSeconds, int seconds) {
        QPushButton* output = onMain<QPushButton>(m_form, "BitBtn4");
        action(m_form, "FastReadings1")->setChecked(fast);
        if (output->text() != QLatin1String("ON")) {
            QTest::mouseClick(output, Qt::LeftButton);
            if (!m_waiter.wait([&] { return output->text() == QLatin1String("ON"); }, 15000)) {
                std::fprintf(stderr, "bench_latency: the output did not come on\n");
                return {};
            }
        }
        m_waiter.pause(settleSeconds * 1000);
        CpuFigure f;
        const double cpu0 = cpuSeconds();
        const long switches0 = switches();
        const Clock::time_point t0 = Clock::now();
        m_waiter.pause(seconds * 1000);
        f.seconds = msOf(Clock::now() - t0) / 1000;
        f.percent = 100 * (cpuSeconds() - cpu0) / f.seconds;
        f.switchesPerSecond = double(switches() - switches0) / f.seconds;
        f.accessibilityActive = QAccessible::isActive();
        return f;
    }

    void outputOff() {
        QPushButton* output = onMain<QPushButton>(m_form, "BitBtn4");
        if (output->text() == QLatin1String("ON")) QTest::mouseClick(output, Qt::LeftButton);
        m_waiter.wait([&] { return output->text() == QLatin1String("OFF"); }, 15000);
        m_waiter.pause(1000);
    }

private:
    int m_answerMs;
    bench::Simulator m_sim;  // outlives the program on its pty
    QTemporaryDir m_dir;
    std::unique_ptr<TForm1> m_form;
    Waiter m_waiter;
};

void printCpu(const char* label, const CpuFigure& f) {
    const QString where =
        QStringLiteral("%1, accessibility %2")
            .arg(QGuiApplication::platformName(),
                 f.accessibilityActive ? QStringLiteral("on") : QStringLiteral("off"));
    if (f.percent < 0)
        std::printf("%-58s failed (%s)\n", label, qPrintable(where));
    else
        std::printf("%-58s %6.2f %% of a core, %5.0f switches/s over %.1f s (%s)\n", label,
                    f.percent, f.switchesPerSecond, f.seconds, qPrintable(where));
    std::fflush(stdout);
}

const char kUsage[] =
    "usage: bench_latency [--mode MODES] [--samples N] [--seconds S] [--settle S]\n"
    "                     [--spread-ms MS] [--seed N] [--answer-ms MS]\n"
    "  MODES, comma-separated: reply-classic reply-fast reply-setpoints\n"
    "         enter-off enter-classic enter-fast cpu-classic cpu-fast;\n"
    "         'latency' is the six reply and enter modes (default), 'cpu' both cpu modes\n"
    "  --samples N      latency samples per mode (default 40)\n"
    "  --seconds S      CPU stretch (default 20), after --settle S (default 6)\n"
    "  --spread-ms MS   Enter's pause before each sample, uniform from 0 (default 3000)\n"
    "  --seed N         for those pauses (default: random, printed)\n"
    "  --answer-ms MS   the simulator's answer time (default 10)\n";

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    QStringList modes = argText(args, QStringLiteral("--mode"), QStringLiteral("latency"))
                            .split(QLatin1Char(','), Qt::SkipEmptyParts);
    const QStringList latencyModes = {
        QStringLiteral("reply-setpoints"), QStringLiteral("enter-off"),
        QStringLiteral("reply-classic"),   QStringLiteral("enter-classic"),
        QStringLiteral("reply-fast"),      QStringLiteral("enter-fast")};
    const QStringList cpuModes = {QStringLiteral("cpu-classic"), QStringLiteral("cpu-fast")};
    QStringList expanded;
    for (const QString& m : modes) {
        if (m == QLatin1String("latency"))
            expanded += latencyModes;
        else if (m == QLatin1String("cpu"))
            expanded += cpuModes;
        else if (latencyModes.contains(m) || cpuModes.contains(m))
            expanded += m;
        else {
            std::fprintf(stderr, "bench_latency: unknown mode %s\n%s", qPrintable(m), kUsage);
            return 2;
        }
    }
    const int samples = std::max(1, argValue(args, QStringLiteral("--samples"), 40));
    const int seconds = std::max(1, argValue(args, QStringLiteral("--seconds"), 20));
    const int settle = std::max(0, argValue(args, QStringLiteral("--settle"), 6));
    const int spreadMs = std::max(0, argValue(args, QStringLiteral("--spread-ms"), 3000));
    const int answerMs = std::max(0, argValue(args, QStringLiteral("--answer-ms"), 10));
    const unsigned seed =
        unsigned(argValue(args, QStringLiteral("--seed"), int(std::random_device{}() >> 1)));

    std::printf(
        "bench_latency %s, %ld cores, load average %s, %s, 9600 baud, %d ms answers, "
        "LQS-6200B, seed %u\n",
        qPrintable(QDateTime::currentDateTime().toString(Qt::ISODate)),
        sysconf(_SC_NPROCESSORS_ONLN), qPrintable(loadAverage()),
        qPrintable(QGuiApplication::platformName()), answerMs, seed);
    std::fflush(stdout);

    int failures = 0;
    const auto wanted = [&](const QStringList& list) {
        for (const QString& m : expanded)
            if (list.contains(m)) return true;
        return false;
    };
    if (wanted(latencyModes)) {
        LatencyRun run(samples, spreadMs, seed, answerMs);
        if (!run.open()) {
            std::fprintf(stderr, "bench_latency: the link did not settle\n");
            return 1;
        }
        // Output off first, then classic, then fast, whatever order was asked.
        for (const QString& m : latencyModes) {
            if (!expanded.contains(m)) continue;
            Figure f;
            const char* label = "";
            if (m == QLatin1String("reply-setpoints")) {
                f = run.setPointReadBack();
                label = "reply->field  start-up set points (Edit5..Edit8)";
            } else if (m == QLatin1String("enter-off")) {
                f = run.enter(false, false);
                label = "enter->frame  output off";
            } else if (m == QLatin1String("reply-classic")) {
                f = run.readings(false);
                label = "reply->field  output on, classic poll (Edit1..Edit4)";
            } else if (m == QLatin1String("enter-classic")) {
                f = run.enter(true, false);
                label = "enter->frame  output on, classic poll";
            } else if (m == QLatin1String("reply-fast")) {
                f = run.readings(true);
                label = "reply->field  output on, fast readings (Edit1..Edit4)";
            } else if (m == QLatin1String("enter-fast")) {
                f = run.enter(true, true);
                label = "enter->frame  output on, fast readings";
            }
            printFigure(label, f);
            if (f.ms.empty()) ++failures;
        }
    }
    if (wanted(cpuModes)) {
        CpuRun run(answerMs);
        if (!run.open()) return 1;
        for (const QString& m : cpuModes) {
            if (!expanded.contains(m)) continue;
            const bool fast = m == QLatin1String("cpu-fast");
            const CpuFigure f = run.measure(fast, settle, seconds);
            printCpu(fast ? "cpu           output on, fast readings"
                          : "cpu           output on, classic poll",
                     f);
            if (f.percent < 0) ++failures;
        }
        run.outputOff();
    }
    std::printf("load average at the end %s\n", qPrintable(loadAverage()));
    return failures ? 1 : 0;
}
