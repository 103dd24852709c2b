// Channel 1 of an LQS-6200B at 10 V with a 1 A limit, on the driven clock
// and the line's real pace: 20 ohms draw 0.5 A (CV), 5 ohms hold it at 1 A
// and 5 V (CC). The link's plan signals are spied on from the start.
#pragma once

#include "clocked_link.h"

#include <QList>
#include <QSignalSpy>

namespace lqs::test {

struct SupplyBench {
    ClockedLink c;
    QSignalSpy started{&c.client, &LinkClient::planStepStarted};
    QSignalSpy confirmed{&c.client, &LinkClient::planStepConfirmed};
    QSignalSpy ended{&c.client, &LinkClient::planEnded};

    SupplyBench() : c(sim::Model::B, setup()) {
        c.line.setLineModel(sim::LineModel());
        c.line.instrument().setVoltageSet(1, 10.0);
        c.line.instrument().setCurrentSet(1, 1.0);
        c.line.instrument().setLoad(1, 20.0);
    }
    static LinkSetup setup() {
        LinkSetup s = drivenSetup();
        s.silenceMs = 100;
        return s;
    }
    // Linked, and with `fast` on the fast schedule and the line ending
    // blocks at CR, as the window has it whenever the schedule is fast.
    bool linked(bool fast) {
        if (!c.linked()) return false;
        if (fast) {
            c.client.setFastReadings(true);
            c.line.setEndAtCarriageReturn(true);
        }
        return true;
    }
    // Linked with `ohms` on channel 1 and the line ready for the fast
    // schedule that arming a limit brings.
    bool start(double ohms) {
        c.line.instrument().setLoad(1, ohms);
        if (!linked(false)) return false;
        c.line.setEndAtCarriageReturn(true);
        return true;
    }
    // The output on, and the fast schedule a limit armed before it asks for.
    bool on() {
        c.client.setOutput(true);
        return c.advanceUntil(
            [&] { return c.client.idle() && c.client.mode() == LinkMode::FastReadings; });
    }
    int offs() const { return int(c.frames().count(QStringLiteral("OUT0"))); }
    bool endedAs(PlanEnd end) {
        return c.advanceUntil([&] { return ended.count() > 0; }, 600s) &&
               ended.last().at(0).value<PlanEnd>() == end;
    }
    // Channel 1's voltage set points on the line, in order.
    QList<double> sent() const {
        QList<double> out;
        for (const QString& f : c.frames())
            if (f.startsWith(QLatin1String("VSET1:"))) out << f.mid(6).toDouble();
        return out;
    }
};

}  // namespace lqs::test
