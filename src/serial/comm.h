// TComm: the non-visual serial port component. It opens a device by name,
// applies its line settings and runs a receive thread and a send thread.
// Whatever the threads learn arrives in the user-interface thread, in order,
// as one of five events.
#pragma once

#include "serial/comm_port.h"
#include "serial/comm_types.h"

#include <QEvent>
#include <QObject>
#include <QString>

class QThread;

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace lqs {

class TComm;

using TReceiveDataEvent =
    std::function<void(TComm* Sender, void* Buffer, std::uint16_t BufferLength)>;
using TReceiveErrorEvent = std::function<void(TComm* Sender, std::uint32_t EventMask)>;
using TModemStateChangeEvent = std::function<void(TComm* Sender, std::uint32_t ModemEvent)>;
using TNotifyEvent = std::function<void(TComm* Sender)>;
using TSendDataEmptyEvent = std::function<void(TComm* Sender)>;

// Notice numbers, also used as the Qt event types that carry them.
namespace CommNotice {
constexpr int DataReceived = 1025;
constexpr int ReceiveError = 1026;
constexpr int RequestHangup = 1027;
constexpr int ModemStateChange = 1028;
constexpr int SendDataEmpty = 1029;
}  // namespace CommNotice

class TComm : public QObject, private CommNoticeSink {
    Q_OBJECT
public:
    explicit TComm(QObject* owner = nullptr, CommPortFactory factory = defaultCommPortFactory());
    // The owner closes the port first; a port still open is closed here too so
    // that no thread outlives the component.
    ~TComm() override;

    void OpenPort();
    void ClosePort();
    bool SendBytes(const void* data, std::uint16_t count);
    // As one SendBytes call per byte, in order: the send thread still writes
    // each byte with a write of its own, but is woken once, not per byte.
    bool SendEachByte(const void* data, std::uint16_t count);
    bool IsOpen() const { return m_port != nullptr; }

    // Published properties.
    const QString& CommName() const { return m_commName; }
    void setCommName(const QString& value) { m_commName = value; }

    std::uint32_t BaudRate() const { return m_line.BaudRate; }
    void setBaudRate(std::uint32_t v) { setLine(&CommLineSettings::BaudRate, v); }
    bool ParityCheck() const { return m_line.ParityCheck; }
    void setParityCheck(bool v) { setLine(&CommLineSettings::ParityCheck, v); }
    bool Outx_CtsFlow() const { return m_line.Outx_CtsFlow; }
    void setOutx_CtsFlow(bool v) { setLine(&CommLineSettings::Outx_CtsFlow, v); }
    bool Outx_DsrFlow() const { return m_line.Outx_DsrFlow; }
    void setOutx_DsrFlow(bool v) { setLine(&CommLineSettings::Outx_DsrFlow, v); }
    TDtrControl DtrControl() const { return m_line.DtrControl; }
    void setDtrControl(TDtrControl v) { setLine(&CommLineSettings::DtrControl, v); }
    bool DsrSensitivity() const { return m_line.DsrSensitivity; }
    void setDsrSensitivity(bool v) { setLine(&CommLineSettings::DsrSensitivity, v); }
    bool TxContinueOnXoff() const { return m_line.TxContinueOnXoff; }
    void setTxContinueOnXoff(bool v) { setLine(&CommLineSettings::TxContinueOnXoff, v); }
    bool Outx_XonXoffFlow() const { return m_line.Outx_XonXoffFlow; }
    void setOutx_XonXoffFlow(bool v) { setLine(&CommLineSettings::Outx_XonXoffFlow, v); }
    bool Inx_XonXoffFlow() const { return m_line.Inx_XonXoffFlow; }
    void setInx_XonXoffFlow(bool v) { setLine(&CommLineSettings::Inx_XonXoffFlow, v); }
    bool ReplaceWhenParityError() const { return m_line.ReplaceWhenParityError; }
    void setReplaceWhenParityError(bool v) {
        setLine(&CommLineSettings::ReplaceWhenParityError, v);
    }
    bool IgnoreNullChar() const { return m_line.IgnoreNullChar; }
    void setIgnoreNullChar(bool v) { setLine(&CommLineSettings::IgnoreNullChar, v); }
    TRtsControl RtsControl() const { return m_line.RtsControl; }
    void setRtsControl(TRtsControl v) { setLine(&CommLineSettings::RtsControl, v); }
    std::uint16_t XonLimit() const { return m_line.XonLimit; }
    void setXonLimit(std::uint16_t v) { setLine(&CommLineSettings::XonLimit, v); }
    std::uint16_t XoffLimit() const { return m_line.XoffLimit; }
    void setXoffLimit(std::uint16_t v) { setLine(&CommLineSettings::XoffLimit, v); }
    TByteSize ByteSize() const { return m_line.ByteSize; }
    void setByteSize(TByteSize v) { setLine(&CommLineSettings::ByteSize, v); }
    TParity Parity() const { return m_line.Parity; }
    // Stored only: it reaches the line with the next OpenPort or with the next
    // re-application caused by another property.
    void setParity(TParity v) { m_line.Parity = v; }
    TStopBits StopBits() const { return m_line.StopBits; }
    void setStopBits(TStopBits v) { setLine(&CommLineSettings::StopBits, v); }
    char XonChar() const { return m_line.XonChar; }
    void setXonChar(char v) { setLine(&CommLineSettings::XonChar, v); }
    char XoffChar() const { return m_line.XoffChar; }
    void setXoffChar(char v) { setLine(&CommLineSettings::XoffChar, v); }
    char ReplacedChar() const { return m_line.ReplacedChar; }
    void setReplacedChar(char v) { setLine(&CommLineSettings::ReplacedChar, v); }

    std::uint32_t ReadIntervalTimeout() const { return m_timeouts.ReadIntervalTimeout; }
    void setReadIntervalTimeout(std::uint32_t v) {
        setTimeout(&CommTimeouts::ReadIntervalTimeout, v);
    }
    std::uint32_t ReadTotalTimeoutMultiplier() const {
        return m_timeouts.ReadTotalTimeoutMultiplier;
    }
    void setReadTotalTimeoutMultiplier(std::uint32_t v) {
        setTimeout(&CommTimeouts::ReadTotalTimeoutMultiplier, v);
    }
    std::uint32_t ReadTotalTimeoutConstant() const { return m_timeouts.ReadTotalTimeoutConstant; }
    void setReadTotalTimeoutConstant(std::uint32_t v) {
        setTimeout(&CommTimeouts::ReadTotalTimeoutConstant, v);
    }
    std::uint32_t WriteTotalTimeoutMultiplier() const {
        return m_timeouts.WriteTotalTimeoutMultiplier;
    }
    void setWriteTotalTimeoutMultiplier(std::uint32_t v) {
        setTimeout(&CommTimeouts::WriteTotalTimeoutMultiplier, v);
    }
    std::uint32_t WriteTotalTimeoutConstant() const { return m_timeouts.WriteTotalTimeoutConstant; }
    void setWriteTotalTimeoutConstant(std::uint32_t v) {
        setTimeout(&CommTimeouts::WriteTotalTimeoutConstant, v);
    }

    bool EndBlockAtCarriageReturn() const { return m_timeouts.EndBlockAtCarriageReturn; }
    void setEndBlockAtCarriageReturn(bool v) {
        if (m_timeouts.EndBlockAtCarriageReturn == v) return;
        m_timeouts.EndBlockAtCarriageReturn = v;
        if (m_port) m_port->applyTimeouts(m_timeouts);
    }

    bool sendQueueEmpty() const { return m_sendQueueEmpty.load(); }

    // The five events are raised in thread's event loop from now on instead of
    // this object's: the device link hears its line in its own thread. Set
    // while the port is closed; the thread must outlive the port's opening.
    void deliverNoticesIn(QThread* thread);

    // Received data waiting for the user-interface thread; past either limit
    // the oldest blocks are dropped and an overrun reported. The supply's
    // replies are short lines: 64 KiB is over a minute of steady traffic at
    // 9600 baud and still several seconds at 115200, so only a peer that
    // floods a stalled window loses anything. The block limit caps the cost
    // each block carries besides its bytes (queue slot, allocation, wake-up
    // event) when short read time-outs cut data into tiny blocks.
    static constexpr std::size_t kMaxQueuedBytes = 64 * 1024;
    static constexpr std::size_t kMaxQueuedBlocks = 1024;
    struct QueuedData {
        std::size_t blocks = 0;
        std::size_t bytes = 0;
    };
    // Counted afresh from the queue, so it does not trust the running totals.
    QueuedData queuedDataForTests() const;

    // Published events; an unassigned one is skipped.
    TReceiveDataEvent OnReceiveData;
    TReceiveErrorEvent OnReceiveError;
    TModemStateChangeEvent OnModemStateChange;
    TNotifyEvent OnRequestHangup;
    TSendDataEmptyEvent OnSendDataEmpty;  // watched from the next OpenPort on

protected:
    bool event(QEvent* e) override;

private:
    friend class CommNoticeTarget;
    bool deliverNotice(QEvent* e);

    template <typename T>
    void setLine(T CommLineSettings::*member, T value) {
        if (m_line.*member == value) return;
        m_line.*member = value;
        if (m_port) m_port->applyLineSettings(m_line);
    }
    void setTimeout(std::uint32_t CommTimeouts::*member, std::uint32_t value) {
        if (m_timeouts.*member == value) return;
        m_timeouts.*member = value;
        if (m_port) m_port->applyTimeouts(m_timeouts);
    }

    void openPort();
    void stopReceiver();
    void stopSender();
    void releasePort();

    struct Notice {
        int number = 0;
        std::uint32_t value = 0;
        CommBlock block;
        bool overrun = false;  // our own report of dropped data
    };
    void post(int notice, std::uint32_t value, CommBlock block = {});
    void dropOldestData();
    void discardNotices();

    // CommNoticeSink, called from the threads.
    void noticeReceived(CommBlock block) override;
    void noticeReceiveError(std::uint32_t flags) override;
    void noticeRequestHangup() override;
    void noticeModemStateChange(std::uint32_t bits) override;
    void noticeSendDataEmpty() override;

    CommPortFactory m_factory;
    QString m_commName = QStringLiteral("COM2");
    CommLineSettings m_line;
    CommTimeouts m_timeouts;

    std::unique_ptr<CommPort> m_port;  // present exactly while open
    std::thread m_receiver;
    std::thread m_sender;
    CommSendQueue m_sendQueue;
    std::atomic<bool> m_sendQueueEmpty{true};
    std::atomic<bool> m_wantsSendEmpty{false};  // OnSendDataEmpty was set when the port opened
    mutable std::mutex m_noticeMutex;
    std::deque<Notice> m_notices;
    std::size_t m_queuedBytes = 0;  // of the data blocks in m_notices
    std::size_t m_queuedBlocks = 0;
    // Wake-up events posted and not yet handled; never fewer than m_notices.
    std::size_t m_wakesPending = 0;
    bool m_overrunQueued = false;
    QObject* m_noticeTarget = this;  // under m_noticeMutex
    std::unique_ptr<QObject> m_noticeSink;
};

}  // namespace lqs
