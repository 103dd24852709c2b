// Where lqs-sim puts its stable port links, so a port list can offer them without typing.
// Header-only and Qt-free: the program's port list includes it too.
#pragma once

#include <unistd.h>

#include <string>

namespace lqs::sim {

inline constexpr int kLinkCount = 10;  // ttyLQS0 .. ttyLQS9

// Per-user directory, mode 0700: "/tmp/lqs-sim-<uid>".
inline std::string linkDirectory() {
    return "/tmp/lqs-sim-" + std::to_string(::getuid());
}

inline std::string linkName(int index) {
    return "ttyLQS" + std::to_string(index);
}

inline std::string linkPath(int index) {
    return linkDirectory() + "/" + linkName(index);
}

}  // namespace lqs::sim
