// The link, or the whole program, on a clock the test drives, against the
// simulated instrument in the same process on the same clock. Nothing waits
// in real time: advance() moves the clock from one due moment to the next and
// lets the queued calls between the link and its callers through on the way.
#pragma once

#include "control_panel/app_windows.h"
#include "control_panel/main_window.h"
#include "device_link/device_link.h"
#include "device_link/link_client.h"
#include "modal_watcher.h"
#include "named.h"
#include "one_port.h"
#include "pty_pair.h"
#include "recorder/wave_window.h"
#include "serial/comm.h"
#include "serial/port_dialog.h"
#include "sim_port.h"

#include <QCoreApplication>
#include <QPushButton>
#include <QStringList>
#include <QTemporaryDir>
#include <QtTest>

#include <chrono>
#include <functional>
#include <memory>

namespace lqs::test {

using namespace std::chrono_literals;

// Moves the link's clock to `until`, stopping at each due moment; the queued
// calls and signals between the link and the windows go through at each.
inline void advance(DeviceLink& link, LinkDuration by) {
    Scheduler& s = link.scheduler();
    s.runUntil(s.now() + by, [] { QCoreApplication::processEvents(); });
    QCoreApplication::processEvents();
}

// Until done() holds or the clock has moved by `limit`; false on the limit.
inline bool advanceUntil(DeviceLink& link, const std::function<bool()>& done,
                         LinkDuration limit = 60s) {
    Scheduler& s = link.scheduler();
    const LinkTime end = s.now() + limit;
    QCoreApplication::processEvents();
    while (!done()) {
        const auto next = s.nextDeadline();
        if (!next || *next > end) {
            s.advanceTo(end);
            QCoreApplication::processEvents();
            return done();
        }
        s.runUntil(*next, [] { QCoreApplication::processEvents(); });
        QCoreApplication::processEvents();
    }
    return true;
}

inline QStringList framesOf(const sim::ClockedLine& line) {
    QStringList out;
    for (const std::string& f : line.transcript()) out << QString::fromStdString(f);
    return out;
}

// Milliseconds of the link's clock since `from`.
inline qint64 msSince(LinkTime from, LinkTime t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t - from).count();
}

inline LinkSetup drivenSetup(const LinkTimings& timings = LinkTimings()) {
    LinkSetup s;
    s.timings = timings;
    s.clock = Scheduler::Kind::Driven;
    return s;
}

// The link alone, with its client, on the driven clock.
struct ClockedLink {
    sim::LinePort port;
    DeviceLink link;
    sim::ClockedLine line;
    LinkClient client;

    explicit ClockedLink(sim::Model model = sim::Model::B, const LinkSetup& setup = drivenSetup())
        : link(&port, setup),
          line(model, sim::nowOf(link.scheduler()), sim::atOf(link.scheduler())),
          client(&link, setup.timings) {
        port.join(line, link);
        client.setModel(modelIndex(model));
    }
    static int modelIndex(sim::Model m) {
        return m == sim::Model::A ? 1 : m == sim::Model::B ? 2 : 3;
    }
    LinkTime now() { return link.scheduler().now(); }
    void advance(LinkDuration by) { test::advance(link, by); }
    bool advanceUntil(const std::function<bool()>& done, LinkDuration limit = 60s) {
        return test::advanceUntil(link, done, limit);
    }
    // Links and lets the start-up query and what its status sets going end.
    bool linked() {
        client.link(QStringLiteral("sim"));
        // The querying dialog would say it closed; here nobody shows it.
        return advanceUntil([this] { return client.idle() && standing(client.mode()); });
    }
    QStringList frames() const { return framesOf(line); }
};

// The whole program on the driven clock: its windows as the operator sees
// them, its link on the in-process line. comm1 is open on a bare terminal
// only so the window offers Link; nothing goes there.
struct ClockedProgram {
    PtyPair pty;
    QTemporaryDir dir;
    sim::LinePort port;
    std::unique_ptr<TForm1> form;
    std::unique_ptr<sim::ClockedLine> line;
    ModalWatcher boxes;
    std::function<QString()> locateRecordDir = TForm_Wave::LocateRecordDir;

    explicit ClockedProgram(sim::Model model = sim::Model::B,
                            const LinkSetup& setup = drivenSetup()) {
        TForm_Wave::LocateRecordDir = [path = dir.path()] { return path; };
        LinkOptions options;
        options.setup = std::make_shared<LinkSetup>(setup);
        options.ownThread = false;
        options.port = &port;
        form.reset(createWindows(onePortSources(dir.path(), pty.slavePath()), options));
        Scheduler& s = form->link->scheduler();
        line = std::make_unique<sim::ClockedLine>(model, sim::nowOf(s), sim::atOf(s));
        port.join(*line, *form->link);
        form->Beep = [](int, int) {};
        form->ConfirmReset = [] { return true; };
        form->show();
        action(form, "ToolButton3")->trigger();
        QTest::mouseClick(named<QPushButton>(form->windows().Form3, "Button1"), Qt::LeftButton);
    }
    ~ClockedProgram() {
        form.reset();  // the link goes with it, before the line its timers name
        TForm_Wave::LocateRecordDir = locateRecordDir;
    }
    DeviceLink& link() { return *form->link; }
    LinkClient& client() { return *form->linkClient(); }
    void advance(LinkDuration by) { test::advance(link(), by); }
    bool advanceUntil(const std::function<bool()>& done, LinkDuration limit = 60s) {
        return test::advanceUntil(link(), done, limit);
    }
    bool linked() {
        action(form, "ToolButton1")->trigger();
        return advanceUntil([this] {
            return client().idle() && standing(client().mode()) && form->frameEnabled();
        });
    }
    QStringList frames() const { return framesOf(*line); }
    QPushButton* outputButton() const { return onMain<QPushButton>(form, "BitBtn4"); }
    // No command under way and the window taking input again.
    bool idle() {
        return advanceUntil([this] { return client().idle() && form->frameEnabled(); });
    }
    // The button pressed, and the output on and being read.
    bool outputOn() {
        QTest::mouseClick(outputButton(), Qt::LeftButton);
        return advanceUntil([this] {
            return client().idle() && client().output().state == OutputState::On &&
                   frames().contains(QStringLiteral("VOUT1?"));
        });
    }
};

}  // namespace lqs::test
