// What the link needs of the line: hand it a frame, to be written one byte
// at a time, as the serial component takes them. What comes back is given
// to the link by whoever owns the line (DeviceLink::receive,
// DeviceLink::hangUp), in the link's thread.
#pragma once

#include <QByteArray>

namespace lqs {

class TComm;

class LinkPort {
public:
    virtual ~LinkPort() = default;
    // False when the line refused the frame.
    virtual bool sendFrame(const QByteArray& frame) = 0;
};

// The serial component as the link's line. Its send queue takes bytes from
// any thread; its notices must be delivered in the link's thread
// (TComm::deliverNoticesIn) for the link to hear them.
class CommLinkPort : public LinkPort {
public:
    explicit CommLinkPort(TComm* comm) : m_comm(comm) {}
    bool sendFrame(const QByteArray& frame) override;

private:
    TComm* m_comm;
};

}  // namespace lqs
