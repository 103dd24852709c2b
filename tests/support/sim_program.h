// The real program with its port open on the simulated instrument, every
// pause of the link shortened so tests run quickly.
#pragma once

#include "control_panel/app_windows.h"
#include "device_link/device_link.h"
#include "device_link/link_client.h"
#include "modal_watcher.h"
#include "named.h"
#include "one_port.h"
#include "pty_endpoint.h"
#include "recorder/wave_window.h"
#include "serial/comm.h"
#include "serial/port_dialog.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <QTemporaryDir>
#include <QtTest>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace lqs::test {

inline QStringList frames(const sim::PtyEndpoint& s) {
    QStringList out;
    for (const std::string& f : s.transcript()) out << QString::fromStdString(f);
    return out;
}

// What the strict line flagged, one per line; empty while the program behaves.
inline QString wireFlags(const sim::PtyEndpoint& s) {
    QStringList out;
    for (const std::string& f : s.wireFlags()) out << QString::fromStdString(f);
    return out.join(QLatin1Char('\n'));
}

inline const QStringList kStartupQueries = {"*IDN?",  "VSET1?", "VSET2?", "ISET1?", "ISET2?",
                                            "VOUT1?", "IOUT1?", "VOUT2?", "IOUT2?", "STATUS?"};
inline const QStringList kPollQueries = {"VOUT1?", "IOUT1?", "VOUT2?", "IOUT2?", "VSET1?",
                                         "VSET2?", "ISET1?", "ISET2?", "STATUS?"};

// The link's rules checked on what the instrument received. Polling runs from
// an "OUT1" until a command that stops it; within that stretch the queries
// follow one cycle's order (a cycle is cut short only where polling stops, so
// two cycles never interleave), and no frame comes more than maxGap after the
// one before. With polling still running, the last frame is not older than
// maxGap either. Empty when all holds, else what broke first.
inline QString pollingViolation(const sim::PtyEndpoint& s, std::chrono::milliseconds maxGap,
                                bool stillPolling) {
    const std::vector<std::string> wire = s.wireFrames();
    const auto times = s.wireTimes();
    bool polling = false;
    int next = 0;
    std::chrono::steady_clock::time_point last;
    const auto ms = [](std::chrono::steady_clock::duration d) {
        return qint64(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
    };
    for (std::size_t i = 0; i < wire.size(); ++i) {
        const QString f = QString::fromStdString(wire[i]).chopped(2);
        if (f == QLatin1String("OUT1")) {
            polling = true;
            next = 0;
            last = times[i];
            continue;
        }
        for (const char* stop : {"OUT0", "TRACK", "SAV", "RCL", "*IDN?"}) {
            if (f.startsWith(QLatin1String(stop))) polling = false;
        }
        if (!polling) continue;
        if (times[i] - last > maxGap) {
            return QStringLiteral("%1 ms without a frame before %2 (frame %3)")
                .arg(ms(times[i] - last))
                .arg(f)
                .arg(i);
        }
        last = times[i];
        const int q = kPollQueries.indexOf(f);
        if (q < 0) continue;  // a set point sent after a query
        if (q != next) {
            return QStringLiteral("%1 where %2 was due: two cycles at once (frame %3)")
                .arg(f, kPollQueries.at(next))
                .arg(i);
        }
        next = (next + 1) % int(kPollQueries.size());
    }
    const auto idle = std::chrono::steady_clock::now() - last;
    if (polling && stillPolling && idle > maxGap)
        return QStringLiteral("no query for %1 ms").arg(ms(idle));
    return QString();
}

// Where a rule does not hang on the line: replies come at once, and every
// pause of the link is a sixteenth of the instrument's (the shortest 18 ms,
// and a missing reply gets 31 ms more), still well above the silence that
// ends a reply.
inline constexpr int kQuickDivisor = 16;
// One poll cycle at those pauses, replies included, rounded up.
inline constexpr std::chrono::milliseconds kQuickCycleLength{700};
// The silence that ends a reply.
inline constexpr std::uint32_t kQuickSilenceMs = 10;

struct SimProgram {
    sim::PtyEndpoint sim;
    QTemporaryDir dir;
    std::unique_ptr<TForm1> form;
    ModalWatcher boxes;
    // Records and their journal go to dir, not the build tree shared by every test.
    std::function<QString()> locateRecordDir = TForm_Wave::LocateRecordDir;

    using PortsFor = std::function<PortListSources(const QString& dir, const std::string& device)>;
    // ports says where the port dialog looks; its first port is opened.
    // The link's pauses as set at the start; a test may set others.
    LinkTimings timings;

    // The line answers at once; a rule about the pace on a real line sets the
    // line's own time (sim.setLineModel(sim::LineModel())) before linking.
    // With linkThread the link runs in a thread of its own, as in the
    // program; without, in the test's, where a case may look into it.
    explicit SimProgram(sim::Model model = sim::Model::B, int timingDivisor = kQuickDivisor,
                        const PortsFor& ports = onePortSources, bool linkThread = false)
        : sim(model), timings(LinkTimings().scaled(timingDivisor)) {
        TForm_Wave::LocateRecordDir = [path = dir.path()] { return path; };
        sim.setLineModel(sim::LineModel::instant());
        sim.start();
        auto setup = std::make_shared<LinkSetup>();
        setup->timings = timings;
        setup->silenceMs = int(kQuickSilenceMs);
        LinkOptions options;
        options.setup = setup;
        options.ownThread = linkThread;
        form.reset(createWindows(ports(dir.path(), sim.slavePath()), options));
        form->Beep = [](int, int) {};
        form->ConfirmReset = [] { return true; };
        form->comm1->setReadIntervalTimeout(kQuickSilenceMs);
        form->show();
        action(form, "ToolButton3")->trigger();
        QTest::mouseClick(test::named<QPushButton>(form->windows().Form3, "Button1"),
                          Qt::LeftButton);
    }
    ~SimProgram() {
        form.reset();
        sim.stop();
        TForm_Wave::LocateRecordDir = locateRecordDir;
    }
    void linkStart() { action(form, "ToolButton1")->trigger(); }
    // Links and waits until the start-up exchange has ended (OUT0 or OUT1 went out).
    bool linkAndSettle() {
        linkStart();
        return QTest::qWaitFor([this] { return frames(sim).size() > kStartupQueries.size(); },
                               10000);
    }
};

inline QPushButton* outputButton(SimProgram& p) {
    return onMain<QPushButton>(p.form, "BitBtn4");
}

// Typed over the field's text and confirmed with Enter, as the operator does.
inline void enter(QLineEdit* field, const QString& text) {
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(field, text);
    QTest::keyClick(field, Qt::Key_Return);
}

// A linked program brought to rest for the next case that shares it: nothing
// under way, the output switched off with its own button if it was on, and no
// poll cycle left. False when it does not come to rest in time.
inline bool restingWithOutputOff(SimProgram& p) {
    QPushButton* output = outputButton(p);
    const auto idle = [&] { return p.form->linkClient()->idle() && p.form->frameEnabled(); };
    if (!QTest::qWaitFor(idle, 10000)) return false;
    if (output->text() == QLatin1String("ON")) QTest::mouseClick(output, Qt::LeftButton);
    return QTest::qWaitFor(
        [&] {
            return idle() && output->text() == QLatin1String("OFF") &&
                   p.form->linkClient()->mode() != LinkMode::Polling &&
                   p.form->linkClient()->mode() != LinkMode::FastReadings;
        },
        10000);
}

}  // namespace lqs::test
