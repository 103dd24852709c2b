// The serial component on a pseudo-terminal, opened as the main window opens
// its port, with every event it delivers recorded. The test holds the far end.
#pragma once

#include "pty_pair.h"
#include "serial/comm.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QString>

#include <cstdint>
#include <string>
#include <vector>

namespace lqs::test {

// What the component's events delivered, in order.
struct CommEvents {
    QByteArrayList log;  // data, "!error:<mask>" and "!hangup" as they came
    std::vector<QByteArray> blocks;
    std::vector<std::uint32_t> errors;
    std::vector<std::uint32_t> modem;
    int hangups = 0;
    int sendEmpty = 0;
    bool allTerminated = true;  // every block handed over with a NUL after it

    void attach(TComm& comm) {
        comm.OnReceiveData = [this](TComm*, void* buffer, std::uint16_t length) {
            const char* b = static_cast<const char*>(buffer);
            allTerminated = allTerminated && b[length] == '\0';
            blocks.emplace_back(b, length);
            log.append(blocks.back());
        };
        comm.OnReceiveError = [this](TComm*, std::uint32_t mask) {
            errors.push_back(mask);
            log.append("!error:" + QByteArray::number(mask));
        };
        comm.OnModemStateChange = [this](TComm*, std::uint32_t bits) { modem.push_back(bits); };
        comm.OnRequestHangup = [this](TComm*) {
            ++hangups;
            log.append("!hangup");
        };
        comm.OnSendDataEmpty = [this](TComm*) { ++sendEmpty; };
    }
    QByteArray joined() const {
        QByteArray all;
        for (const auto& b : blocks) all += b;
        return all;
    }
};

// The main window's port: no flow control of any kind, so 0x11 and 0x13 are data.
inline void setUpAsMainPort(TComm& c, const std::string& device) {
    c.setOutx_XonXoffFlow(false);
    c.setInx_XonXoffFlow(false);
    c.setCommName(QString::fromStdString(device));
}

// Properties set between construction and open() go out with the open.
struct CommOnPty {
    PtyPair pty;
    TComm comm;
    CommEvents events;

    explicit CommOnPty(CommPortFactory factory = defaultCommPortFactory())
        : comm(nullptr, std::move(factory)) {
        events.attach(comm);
        setUpAsMainPort(comm, pty.slavePath());
    }
    // False without a pseudo-terminal; throws ECommsError as OpenPort does.
    bool open() {
        if (!pty.ok()) return false;
        comm.OpenPort();
        return comm.IsOpen();
    }
};

}  // namespace lqs::test
