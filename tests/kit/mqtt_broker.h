// A real mosquitto broker for a test, on 127.0.0.1 and a free port, with a configuration of the
// test's own in a temporary directory; and a client of libmosquitto that keeps every message it
// receives, with the moment it arrived.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kit/child_process.h"
#include "kit/files.h"

struct mosquitto;
struct mosquitto_message;

namespace quorvane::testkit {

// A port on 127.0.0.1 that nothing listened on a moment ago.
int freePort();

class MqttBroker : Pinned {
  public:
    // `settings`: the lines after "listener PORT 127.0.0.1" (allow_anonymous, password_file,
    // certificates...), with "PORT2" replaced by a second free port for a second listener.
    explicit MqttBroker(const std::string& settings = "allow_anonymous true\n");
    ~MqttBroker();

    int port() const { return port_; }
    int secondPort() const { return secondPort_; }
    const TempDir& dir() const { return dir_; }
    // Stops the broker, as a crash or a reboot would, and starts it again on the same ports.
    void stop();
    void start();
    // SIGSTOP makes a broker that takes connections and answers nothing; SIGCONT wakes it.
    void signal(int sig) const;
    // What the broker has logged on its standard error (its log_type lines choose what).
    std::string log() const;

  private:
    TempDir dir_;
    int port_;
    int secondPort_;
    std::optional<ChildProcess> process_;
};

struct MqttMessage {
    std::string topic;
    std::string payload;
    bool retained = false;
    std::chrono::steady_clock::time_point arrival;
};

struct MqttLogin {
    std::string user;
    std::string password;
};

class MqttClient : Pinned {
  public:
    // Connects and subscribes to `filter`; throws std::runtime_error when it cannot.
    MqttClient(int port, const std::string& filter, const std::optional<MqttLogin>& login = {});
    ~MqttClient();

    std::vector<MqttMessage> messages() const;
    // Waits until the messages so far satisfy `done`.
    bool waitFor(const std::function<bool(const std::vector<MqttMessage>&)>& done,
                 std::chrono::milliseconds timeout = kPatience) const;
    // Messages on one topic so far.
    std::vector<MqttMessage> on(const std::string& topic) const;
    void publish(const std::string& topic, const std::string& payload, bool retained = false);

  private:
    static void received(mosquitto* client, void* self, const mosquitto_message* message);

    mosquitto* client_ = nullptr;
    mutable std::mutex mutex_;
    std::vector<MqttMessage> messages_;
};

}  // namespace quorvane::testkit
