// The exporter's link to an MQTT broker, through libmosquitto on a network thread of its own, so
// that a broker that is slow, gone or refusing never holds up the program's output. The thread
// connects, and connects again after a growing pause whatever went wrong (libmosquitto's own
// thread gives up after a refused login or certificate); otherwise it only
// turns what happens on the connection into events; the exporter's loop takes them, says what
// needs saying on standard error and publishes: availability, Home Assistant's discovery config,
// and the readings and failures at the pace the settings allow.
//
// It speaks MQTT 5, so that the broker sends it nothing larger than the few bytes it reads (Home
// Assistant's "online"), says why it refuses a message, and may shorten the keep-alive; a broker
// that knows only MQTT 3.1.1 is spoken to in that.
#pragma once

#include <mosquitto.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "export/mqtt_settings.h"

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
    enum class EventKind { Connected, Refused, Lost, HomeAssistantOnline, MessageRefused };
    struct Event {
        EventKind kind;
        int code = 0;  // the library's or the broker's; for MessageRefused, the message's id
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
        std::atomic<bool> accepted{false};  // the broker took the latest attempt's login
        std::atomic<int> keepAlive{0};      // seconds: ours, or the broker's where it set one
        std::size_t largestIncoming = 0;    // bytes of a packet from the broker
        std::atomic<bool> mqtt5{true};      // false once a broker has turned MQTT 5 down
        std::atomic<bool> olderProtocol{false};        // the broker asks for MQTT 3.1.1
        std::atomic<bool> homeAssistantOnline{false};  // said, and not yet taken by the loop
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
    static void onConnect(mosquitto* client, void* connection, int code, int flags,
                          const mosquitto_property* properties);
    static void onMessage(mosquitto* client, void* connection, const mosquitto_message* message);
    static void onPublish(mosquitto* client, void* connection, int id, int code,
                          const mosquitto_property* properties);
    static void onLog(mosquitto* client, void* connection, int level, const char* text);
    void failed(const std::string& reason);
    void offer(Paced& paced, const std::string& payload, Clock::time_point now);
    void sendDue(Paced& paced, Clock::time_point now);
    bool publish(const std::string& topic, const std::string& payload, bool retained);
    // Says once per connection that the library or the broker refused a message to `topic`.
    void refused(const std::string& topic, const std::string& reason);
    void publishConfig(Clock::time_point now);
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
    // "online" goes with the first state of a connection, so that Home Assistant never shows a
    // value from before as the current one.
    bool online_ = false;
    std::optional<Clock::time_point> lastConfig_;
    std::optional<Clock::time_point> configDue_;  // Home Assistant asked for it again
    // The messages the broker is to acknowledge, by id, to name the topic of one it refuses.
    std::deque<std::pair<int, std::string>> awaited_;
    std::set<std::string> refusals_;  // said on this connection
};

}  // namespace quorvane::exporter
