#include "export/service_notifier.h"

#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace quorvane::exporter {

ServiceNotifier::ServiceNotifier() {
    // The manager's socket: a path, or with '@' a name in the abstract namespace.
    const char* path = std::getenv("NOTIFY_SOCKET");
    const std::size_t length = path != nullptr ? std::strlen(path) : 0;
    if (length < 2 || (path[0] != '/' && path[0] != '@') || length > sizeof address_.sun_path) {
        return;
    }
    address_.sun_family = AF_UNIX;
    std::memcpy(address_.sun_path, path, length);
    if (path[0] == '@') {
        address_.sun_path[0] = '\0';
    }
    // A path ends with its terminating zero where there is room for it; an abstract name does not.
    addressLength_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length +
                                            (path[0] == '/' && length < sizeof address_.sun_path));
    socket_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}

ServiceNotifier::~ServiceNotifier() {
    if (socket_ >= 0) {
        close(socket_);
    }
}

void ServiceNotifier::ready() const {
    send("READY=1\nSTATUS=Waiting for the first measurement");
}

void ServiceNotifier::record(const std::string& status) const {
    std::string state = "WATCHDOG=1\nSTATUS=";
    // One line: a newline would begin another assignment.
    for (const char c : status) {
        state.push_back(c == '\n' ? ' ' : c);
    }
    send(state);
}

void ServiceNotifier::stopping() const {
    send("STOPPING=1");
}

void ServiceNotifier::send(const std::string& state) const {
    if (socket_ < 0) {
        return;
    }
    // Nothing to do about a manager that is not there or does not read.
    [[maybe_unused]] const ssize_t sent =
        sendto(socket_, state.data(), state.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&address_), addressLength_);
}

}  // namespace quorvane::exporter
