#include "device_link/link_port.h"

#include "serial/comm.h"

namespace lqs {

bool CommLinkPort::sendByte(char byte) {
    return m_comm && m_comm->SendBytes(&byte, 1);
}

}  // namespace lqs
