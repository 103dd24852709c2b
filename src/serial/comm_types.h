// Types shared by the serial port component and its platform backends.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

namespace lqs {

enum class TParity : std::uint8_t { None, Odd, Even, Mark, Space };
enum class TStopBits : std::uint8_t { _1, _1_5, _2 };
enum class TByteSize : std::uint8_t { _5, _6, _7, _8 };
enum class TDtrControl : std::uint8_t { DtrEnable, DtrDisable, DtrHandshake };
enum class TRtsControl : std::uint8_t {
    RtsEnable,
    RtsDisable,
    RtsHandshake,
    RtsTransmissionAvailable
};

// Raised by TComm::OpenPort; the message is one of a fixed set of texts. The
// detail, when there is one, says why in the user's terms and what to do.
class ECommsError : public std::runtime_error {
public:
    explicit ECommsError(const std::string& message, std::string detail = {})
        : std::runtime_error(message), m_detail(std::move(detail)) {}
    const std::string& detail() const { return m_detail; }

private:
    std::string m_detail;
};

// The line settings a backend applies as one record.
struct CommLineSettings {
    std::uint32_t BaudRate = 9600;
    bool ParityCheck = false;
    bool Outx_CtsFlow = false;
    bool Outx_DsrFlow = false;
    TDtrControl DtrControl = TDtrControl::DtrEnable;
    bool DsrSensitivity = false;
    bool TxContinueOnXoff = true;
    bool Outx_XonXoffFlow = true;
    bool Inx_XonXoffFlow = true;
    bool ReplaceWhenParityError = false;
    bool IgnoreNullChar = false;
    TRtsControl RtsControl = TRtsControl::RtsEnable;
    std::uint16_t XonLimit = 500;
    std::uint16_t XoffLimit = 500;
    TByteSize ByteSize = TByteSize::_8;
    TParity Parity = TParity::None;
    TStopBits StopBits = TStopBits::_1;
    char XonChar = 0x11;
    char XoffChar = 0x13;
    char ReplacedChar = 0x00;
};

// Milliseconds. With ReadIntervalTimeout set and both read totals 0, a read waits
// without limit for its first byte and completes after that many ms of silence.
struct CommTimeouts {
    std::uint32_t ReadIntervalTimeout = 100;
    std::uint32_t ReadTotalTimeoutMultiplier = 0;
    std::uint32_t ReadTotalTimeoutConstant = 0;
    std::uint32_t WriteTotalTimeoutMultiplier = 0;
    std::uint32_t WriteTotalTimeoutConstant = 0;
    // Ours, not Windows': a block that ends in CR is handed over at once
    // instead of after the silence, for a peer whose lines end in CR.
    bool EndBlockAtCarriageReturn = false;
};

// Line-error flags carried by the receive-error notice. The values are the
// Windows CE_* bits so that handlers see the same numbers on every platform.
namespace LineError {
constexpr std::uint32_t RxOver = 0x0001;    // input buffer overflow
constexpr std::uint32_t Overrun = 0x0002;   // character buffer overrun
constexpr std::uint32_t RxParity = 0x0004;  // parity error
constexpr std::uint32_t Frame = 0x0008;     // framing error
constexpr std::uint32_t Break = 0x0010;     // break condition
}  // namespace LineError

// Bits of the modem-state notice.
namespace ModemEvent {
constexpr std::uint32_t Ring = 4;
constexpr std::uint32_t CarrierDetect = 8;
}  // namespace ModemEvent

// Largest block one read delivers.
constexpr std::size_t kReadBlockSize = 2048;

}  // namespace lqs
