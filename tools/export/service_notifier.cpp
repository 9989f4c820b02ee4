#include "export/service_notifier.h"

#include <systemd/sd-daemon.h>

namespace quorvane::exporter {

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
    // Nothing to do without a service manager, and nothing to do about one that is not there.
    sd_notify(0, state.c_str());
}

}  // namespace quorvane::exporter
