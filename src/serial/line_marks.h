// Undoes the marking the terminal driver applies with PARMRK: a byte received
// with a parity or framing error arrives as 0xFF 0x00 c, a break as
// 0xFF 0x00 0x00, and a genuine 0xFF as 0xFF 0xFF. The decoder keeps its state
// across reads, since a mark can be split between two of them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lqs {

class LineMarkDecoder {
public:
    struct Result {
        std::size_t length = 0;    // bytes written to the output
        std::uint32_t errors = 0;  // LineError bits seen in this input
    };

    // What to do with a byte that arrived with an error.
    void setReplacement(bool replace, char replacement) {
        m_replace = replace;
        m_replacement = static_cast<std::uint8_t>(replacement);
    }

    // Decodes in into a separate out, which needs room for n + 1 bytes: a lone
    // 0xFF held over from the previous call may come out with this one.
    Result decode(const std::uint8_t* in, std::size_t n, std::uint8_t* out);

private:
    enum class State { Plain, SawFF, SawFF00 };
    State m_state = State::Plain;
    bool m_replace = false;
    std::uint8_t m_replacement = 0;
};

}  // namespace lqs
