// The real program with its port open on the simulated instrument, every
// pause of the link shortened so tests run quickly.
#pragma once

#include "app_windows.h"
#include "comm.h"
#include "device_link.h"
#include "link_state.h"
#include "modal_watcher.h"
#include "port_dialog.h"
#include "pty_endpoint.h"
#include "one_port.h"

#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QStringList>
#include <QTemporaryDir>
#include <QtTest>

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

struct SimProgram {
    sim::PtyEndpoint sim;
    QTemporaryDir dir;
    std::unique_ptr<TForm1> form;
    ModalWatcher boxes;

    explicit SimProgram(sim::Model model = sim::Model::B, int timingDivisor = 4) : sim(model) {
        linkState().resetForTests();
        sim.start();
        form.reset(createWindows(onePortSources(dir.path(), sim.slavePath())));
        form->Beep = [](int, int) {};
        form->ConfirmReset = [] { return true; };
        form->link->setTimings(LinkTimings().scaled(timingDivisor));
        form->comm1->setReadIntervalTimeout(20);
        form->show();
        form->ToolButton3->trigger();
        QTest::mouseClick(form->windows().Form3->Button1, Qt::LeftButton);
    }
    ~SimProgram() {
        form.reset();
        sim.stop();
    }
    void linkStart() { form->ToolButton1->trigger(); }
    // Links and waits until the start-up exchange has ended (OUT0 or OUT1 went out).
    bool linkAndSettle() {
        linkStart();
        return QTest::qWaitFor([this] { return frames(sim).size() > kStartupQueries.size(); }, 10000);
    }
};

}  // namespace lqs::test
