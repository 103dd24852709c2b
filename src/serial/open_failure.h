// Why a port could not be opened, told in words the user can act on. The
// component's message stays one of its fixed texts; this is the detail.
#pragma once

#include <string>

namespace lqs {

// A process that has a port open or locked; pid 0 when none was found.
struct PortHolder {
    int pid = 0;
    std::string program;
};

// Another process that has the device behind fd open, as /proc shows it. An
// ordinary user's /proc hides other users' descriptors, so only their own
// processes (or, for root, all of them) can be found. The process holding a
// pseudo-terminal's master is the line's far end, like the instrument on a
// real port, and so is not a holder: that is how the simulator keeps its port.
PortHolder otherPortHolder(int fd);

// error is the errno of the failed open or lock; path the port as named;
// holder the process the open found, when it found one.
std::string describeOpenFailure(const std::string& path, int error, const PortHolder& holder = {});

}  // namespace lqs
