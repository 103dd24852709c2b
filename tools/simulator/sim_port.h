// The in-process simulator as the link's line, on the link's own clock: the
// link's frames go to the line a byte at a time, and what the line answers,
// or its hang-up, goes back to the link.
#pragma once

#include "clocked_line.h"
#include "device_link/device_link.h"
#include "device_link/link_port.h"

#include <functional>

namespace lqs::sim {

class LinePort : public LinkPort {
public:
    bool sendFrame(const QByteArray& frame) override;
    // Line and link talk through this port from now on; the line ends a
    // block at the silence the link's setup waits for.
    void join(ClockedLine& line, DeviceLink& link);

    ClockedLine* line = nullptr;
};

// The scheduler's time and timers as a ClockedLine's clock.
std::function<ClockedLine::Clock::time_point()> nowOf(Scheduler& scheduler);
ClockedLine::At atOf(Scheduler& scheduler);

}  // namespace lqs::sim
