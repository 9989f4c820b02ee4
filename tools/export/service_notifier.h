// What the service manager learns from quorvane-export when it runs under one (NOTIFY_SOCKET
// set): that it is ready, that it is alive after every record, the last reading for
// `systemctl status`, and that it is stopping. Without a service manager it does nothing.
#pragma once

#include <string>

namespace quorvane::exporter {

class ServiceNotifier {
  public:
    void ready() const;
    // A record has come, good or failed: the watchdog is fed and the status shows the record.
    void record(const std::string& status) const;
    void stopping() const;

  private:
    void send(const std::string& state) const;
};

}  // namespace quorvane::exporter
