#include "serial/line_marks.h"

#include "serial/comm_types.h"

namespace lqs {

LineMarkDecoder::Result LineMarkDecoder::decode(const std::uint8_t* in, std::size_t n,
                                                std::uint8_t* out) {
    Result r;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t c = in[i];
        switch (m_state) {
            case State::Plain:
                if (c == 0xFF) {
                    m_state = State::SawFF;
                } else {
                    out[r.length++] = c;
                }
                break;
            case State::SawFF:
                if (c == 0xFF) {
                    out[r.length++] = 0xFF;
                    m_state = State::Plain;
                } else if (c == 0x00) {
                    m_state = State::SawFF00;
                } else {
                    // Not a mark the driver makes; keep both bytes rather than lose one.
                    out[r.length++] = 0xFF;
                    out[r.length++] = c;
                    m_state = State::Plain;
                }
                break;
            case State::SawFF00:
                if (c == 0x00) {
                    r.errors |= LineError::Break;
                } else {
                    r.errors |= LineError::RxParity;
                    out[r.length++] = m_replace ? m_replacement : c;
                }
                m_state = State::Plain;
                break;
        }
    }
    return r;
}

}  // namespace lqs
