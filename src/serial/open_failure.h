// Why a port could not be opened, told in words the user can act on. The
// component's message stays one of its fixed texts; this is the detail.
#pragma once

#include <string>

namespace lqs {

// error is the errno of the failed open or lock; path the port as named.
std::string describeOpenFailure(const std::string& path, int error);

}  // namespace lqs
