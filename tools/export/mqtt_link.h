// The exporter's link to an MQTT broker, through libmosquitto on a network thread of its own, so
// that a broker that is slow, gone or refusing never holds up the program's output. The thread
// connects, and connects again after a growing pause whatever went wrong (libmosquitto's own
// thread gives up after a refused login or certificate); otherwise it only
// turns what happens on the connection into events; the exporter's loop takes them, says what
// needs saying on standard error and publishes: availability, Home Assistant's discovery config,
// and the readings and failures at the pace the settings allow.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "export/mqtt_settings.h"

struct mosquitto;
struct mosquitto_message;

namespace quorvane::exporter {

class MqttLink {
  public:
    using Clock = std::chrono::steady_clock;

    // Starts connecting in the background; `wake` is written to (as an eventfd) when an event
    // waits for handle().
    MqttLink(MqttSettings settings, std::string version, int wake);
    ~MqttLink();
    MqttLink(const MqttLink&) = delete;
    MqttLink& operator=(const MqttLink&) = delete;

    // A good reading, or a failed measurement, as its JSON object.
    void reading(const std::string& json, Clock::time_point now);
    void failure(const std::string& json, Clock::time_point now);
    // Takes the connection's events and publishes what is due.
    void handle(Clock::time_point now);
    // How long until something held back is due; none when nothing is.
    std::optional<std::chrono::milliseconds> untilDue(Clock::time_point now) const;
    // A clean stop: "offline", then a goodbye, so that the broker keeps the will to itself.
    void stop();

    // The topics of a node.
    std::string topic(const std::string& leaf) const;
    std::string configTopic() const;
    // The discovery config that makes the node one temperature sensor in Home Assistant.
    std::string discoveryConfig() const;
    // Seconds after the last state at which Home Assistant shows the sensor unavailable.
    int expireAfter() const;

  private:
    enum class EventKind { Connected, Refused, Lost, HomeAssistantOnline };
    struct Event {
        EventKind kind;
        int code = 0;
        std::string reason;
    };
    // What the network thread shares with the exporter. The thread holds it too, so that a
    // thread still waiting for a broker that does not answer can be left behind at the end.
    struct Connection {
        mosquitto* client = nullptr;
        std::string host;
        int port = 0;
        int wake = -1;
        std::mutex mutex;
        std::condition_variable stopped;
        bool stopping = false;
        bool running = true;  // the thread has not ended yet
        std::deque<Event> events;
        std::string lastError;              // the library's last complaint, the reason of a failure
        std::atomic<int> acknowledged{-1};  // the id of the last message the broker has taken
        ~Connection();
        void post(Event event);
    };
    // A topic published at most once per interval: the newest payload waits for its turn.
    struct Paced {
        std::string topic;
        std::optional<std::string> waiting;
        std::optional<Clock::time_point> last;
    };

    static void network(const std::shared_ptr<Connection>& connection);
    static void onConnect(mosquitto* client, void* connection, int code);
    static void onDisconnect(mosquitto* client, void* connection, int code);
    static void onMessage(mosquitto* client, void* connection, const mosquitto_message* message);
    static void onPublish(mosquitto* client, void* connection, int id);
    static void onLog(mosquitto* client, void* connection, int level, const char* text);
    void failed(const std::string& reason);
    void offer(Paced& paced, const std::string& payload, Clock::time_point now);
    void sendDue(Paced& paced, Clock::time_point now);
    bool publish(const std::string& topic, const std::string& payload, bool retained);
    void publishArrival();
    std::string where() const;

    MqttSettings settings_;
    std::string version_;
    std::shared_ptr<Connection> connection_;
    std::thread thread_;
    bool connected_ = false;
    bool failing_ = false;               // a failure has been reported, and no success since
    bool reached_ = false;               // connected at least once
    Clock::time_point since_;            // of the current attempt to connect
    std::optional<std::string> newest_;  // the newest reading, for a new connection
    Paced state_;
    Paced error_;
};

}  // namespace quorvane::exporter
