#include "sim_port.h"

namespace lqs::sim {

bool LinePort::sendFrame(const QByteArray& frame) {
    if (!line || line->hungUp()) return false;
    for (char byte : frame) line->byteIn(byte);
    return true;
}

void LinePort::join(ClockedLine& l, DeviceLink& link) {
    line = &l;
    l.onBlock = [&link](const std::string& b) { link.receive(b.data(), b.size()); };
    l.onHangup = [&link] { link.hangUp(); };
    l.setSilence(std::chrono::milliseconds(link.setup().silenceMs));
}

std::function<ClockedLine::Clock::time_point()> nowOf(Scheduler& scheduler) {
    return [&scheduler] { return scheduler.now(); };
}

ClockedLine::At atOf(Scheduler& scheduler) {
    return [&scheduler](ClockedLine::Clock::time_point when, std::function<void()> fn) {
        scheduler.at(when, std::move(fn));
    };
}

}  // namespace lqs::sim
