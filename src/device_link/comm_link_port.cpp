#include "device_link/link_port.h"

#include "serial/comm.h"

namespace lqs {

// One byte per block, as the instrument has always been written to; handed
// over in one call so the send thread is not woken once per byte.
bool CommLinkPort::sendFrame(const QByteArray& frame) {
    return m_comm && m_comm->SendEachByte(frame.constData(), std::uint16_t(frame.size()));
}

}  // namespace lqs
