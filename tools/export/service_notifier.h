// What the service manager learns from quorvane-export when it runs under one (NOTIFY_SOCKET
// set): that it is ready, that it is alive after every record, the last reading for
// `systemctl status`, and that it is stopping. Each notice is one datagram, sent without waiting:
// a manager that does not read its socket never holds up the records, and a notice that cannot
// go at once is dropped (the next record sends a newer one). Without a service manager it does
// nothing.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <string>

namespace quorvane::exporter {

class ServiceNotifier {
  public:
    ServiceNotifier();
    ~ServiceNotifier();
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    void ready() const;
    // A record has come, good or failed: the watchdog is fed and the status shows the record.
    void record(const std::string& status) const;
    void stopping() const;

  private:
    void send(const std::string& state) const;

    int socket_ = -1;
    sockaddr_un address_{};
    socklen_t addressLength_ = 0;
};

}  // namespace quorvane::exporter
