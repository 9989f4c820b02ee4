#include "sim/access_rights.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace quorvane::sim {

int AccessRights::request(unsigned long from, unsigned long count, int turnOn) {
    if (from > granted_.size() || count > granted_.size() - from) {
        errno = EINVAL;
        return -1;
    }
    for (unsigned long a = from; a < from + count; ++a) {
        granted_[a] = turnOn != 0;
    }
    return 0;
}

void AccessRights::violation(std::uint16_t address) {
    // On real hardware this is a general protection fault; make it as hard to miss.
    std::fprintf(stderr,
                 "quorvane simulator: port 0x%04X accessed without access rights "
                 "(no granted RequestPortAccess covers it)\n",
                 static_cast<unsigned>(address));
    std::fflush(stderr);
    std::abort();
}

}  // namespace quorvane::sim
