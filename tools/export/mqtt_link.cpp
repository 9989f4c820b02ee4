#include "export/mqtt_link.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>

#include "common/command_line.h"

namespace quorvane::exporter {

namespace {

constexpr const char* kProgram = "quorvane-export";
// A first connection that has not come about by then is reported, whatever the library says.
constexpr std::chrono::seconds kConnectPatience{10};
// Home Assistant saying "online" again and again gets the config again at most this often.
constexpr std::chrono::seconds kConfigPause{5};
// What the broker may send: Home Assistant's "online" on the status topic, the broker's own
// answers, and room for the properties it may add. Anything larger is not sent at all.
constexpr std::size_t kLargestIncoming = 1024;
// The messages whose acknowledgement is awaited, remembered to name a refused one: the few
// retained ones of a connection.
constexpr std::size_t kAwaited = 8;

// Each exporter its own client id, so that two on one broker never throw each other off.
std::string clientId(const std::string& node) {
    std::array<unsigned char, 4> random{};
    if (getrandom(random.data(), random.size(), 0) != static_cast<ssize_t>(random.size())) {
        random = {};
    }
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%02x%02x%02x%02x", random[0], random[1], random[2],
                  random[3]);
    // MQTT 3.1.1 brokers need accept no more than 23 characters.
    return "quorvane-" + node.substr(0, 5) + "-" + suffix;
}

// The library's result as a reason for the user.
std::string reasonOf(int code) {
    return mosquitto_strerror(code);
}

std::string jsonString(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted.push_back('\\');
        }
        quoted.push_back(c);
    }
    return quoted + "\"";
}

}  // namespace

MqttLink::MqttLink(MqttSettings settings, std::string version, int wake)
    : settings_(std::move(settings)),
      version_(std::move(version)),
      connection_(std::make_shared<Connection>()),
      since_(Clock::now()) {
    state_.topic = topic("state");
    error_.topic = topic("error");
    mosquitto_lib_init();
    Connection& c = *connection_;
    c.host = settings_.broker.host;
    c.port = settings_.broker.port;
    c.wake = wake;
    c.keepAlive = settings_.keepAliveSeconds;
    c.largestIncoming = kLargestIncoming + statusTopic(settings_).size();
    c.client = mosquitto_new(clientId(settings_.node).c_str(), true, &c);
    if (c.client == nullptr) {
        throw std::runtime_error("cannot make an MQTT client");
    }
    mosquitto_int_option(c.client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    // Published from the exporter's thread while the network thread reads and writes.
    mosquitto_threaded_set(c.client, true);
    mosquitto_connect_v5_callback_set(c.client, onConnect);
    mosquitto_message_callback_set(c.client, onMessage);
    mosquitto_publish_v5_callback_set(c.client, onPublish);
    mosquitto_log_callback_set(c.client, onLog);
    const std::string availability = topic("availability");
    mosquitto_will_set(c.client, availability.c_str(), 7, "offline", 1, true);
    const BrokerAddress& broker = settings_.broker;
    if (!broker.user.empty()) {
        mosquitto_username_pw_set(c.client, broker.user.c_str(),
                                  settings_.password ? settings_.password->c_str() : nullptr);
    }
    if (broker.tls) {
        // The broker's certificate is always verified, its name included; never less.
        const int set = settings_.cafile ? mosquitto_tls_set(c.client, settings_.cafile->c_str(),
                                                             nullptr, nullptr, nullptr, nullptr)
                                         : mosquitto_tls_set(c.client, nullptr, "/etc/ssl/certs",
                                                             nullptr, nullptr, nullptr);
        if (set != MOSQ_ERR_SUCCESS) {
            throw std::runtime_error("cannot use the certificate authority " +
                                     settings_.cafile.value_or("/etc/ssl/certs") + ": " +
                                     reasonOf(set));
        }
        mosquitto_tls_opts_set(c.client, 1, nullptr, nullptr);
        mosquitto_tls_insecure_set(c.client, false);
    }
    mosquitto_int_option(c.client, MOSQ_OPT_TCP_NODELAY, 1);
    thread_ = std::thread([connection = connection_] { network(connection); });
}

MqttLink::~MqttLink() {
    {
        const std::lock_guard lock(connection_->mutex);
        connection_->stopping = true;
    }
    connection_->stopped.notify_all();
    if (thread_.joinable()) {
        std::unique_lock lock(connection_->mutex);
        // A thread still waiting in a connect that does not answer is left behind: it holds the
        // connection, and ends with the process.
        const bool ended = connection_->stopped.wait_for(lock, std::chrono::seconds(3),
                                                         [this] { return !connection_->running; });
        lock.unlock();
        if (ended) {
            thread_.join();
        } else {
            thread_.detach();
        }
    }
}

MqttLink::Connection::~Connection() {
    if (client != nullptr) {
        mosquitto_destroy(client);
    }
    mosquitto_lib_cleanup();
}

void MqttLink::Connection::post(Event event) {
    {
        const std::lock_guard lock(mutex);
        events.push_back(std::move(event));
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake, &one, sizeof one);
}

void MqttLink::network(const std::shared_ptr<Connection>& connection) {
    Connection& c = *connection;
    const auto stopping = [&c] {
        const std::lock_guard lock(c.mutex);
        return c.stopping;
    };
    // The broker is asked to send nothing larger than what is read; it keeps this for every
    // reconnection.
    mosquitto_property* properties = nullptr;
    mosquitto_property_add_int32(&properties, MQTT_PROP_MAXIMUM_PACKET_SIZE,
                                 static_cast<std::uint32_t>(c.largestIncoming));
    // Attempts since the broker last took the login: refusals, like failures to reach it, are
    // tried again ever more rarely.
    int attempt = 0;
    bool first = true;
    while (!stopping()) {
        int result = first ? mosquitto_connect_bind_v5(c.client, c.host.c_str(), c.port,
                                                       c.keepAlive, nullptr, properties)
                           : mosquitto_reconnect(c.client);
        first = false;
        if (result == MOSQ_ERR_SUCCESS) {
            while (result == MOSQ_ERR_SUCCESS && !stopping()) {
                result = mosquitto_loop(c.client, 1000, 1);
            }
            // A goodbye of the exporter's own is sent on its way before the thread ends.
            while (result == MOSQ_ERR_SUCCESS && mosquitto_want_write(c.client)) {
                result = mosquitto_loop(c.client, 100, 1);
            }
        }
        const int error = errno;
        if (stopping()) {
            break;
        }
        if (c.olderProtocol.exchange(false)) {
            // A broker of MQTT 3.1.1 is asked again at once, in its own version, which has no
            // properties.
            c.mqtt5 = false;
            mosquitto_int_option(c.client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
            mosquitto_property_free_all(&properties);
            first = true;
            continue;
        }
        if (c.accepted.exchange(false)) {
            attempt = 0;
        }
        std::string reason;
        {
            const std::lock_guard lock(c.mutex);
            reason = std::exchange(c.lastError, std::string());
        }
        if (result == MOSQ_ERR_KEEPALIVE) {
            // Pinged after a keep-alive of silence, it did not answer within another.
            reason = "no answer for " + std::to_string(2 * c.keepAlive) + " s (keep-alive missed)";
        } else if (reason.empty()) {
            reason = result == MOSQ_ERR_ERRNO ? std::strerror(error) : reasonOf(result);
        }
        while (reason.ends_with('.')) {
            reason.pop_back();
        }
        c.post({EventKind::Lost, result, reason});
        // From a second up to a minute between attempts, growing with their number.
        const auto pause = std::chrono::seconds(std::min(60, 1 + attempt * attempt));
        ++attempt;
        std::unique_lock lock(c.mutex);
        c.stopped.wait_for(lock, pause, [&c] { return c.stopping; });
    }
    mosquitto_property_free_all(&properties);
    mosquitto_disconnect(c.client);
    const std::lock_guard lock(c.mutex);
    c.running = false;
    c.stopped.notify_all();
}

std::string MqttLink::topic(const std::string& leaf) const {
    return nodeTopic(settings_, leaf);
}

std::string MqttLink::configTopic() const {
    return exporter::configTopic(settings_);
}

int MqttLink::expireAfter() const {
    // Three publishing intervals, and never less than a minute, so that a healthy thermometer is
    // never shown unavailable between two states, while one that stops answering soon is.
    const int every = (settings_.everyMilliseconds + 999) / 1000;
    return std::max(60, 3 * every);
}

std::string MqttLink::discoveryConfig() const {
    const std::string id = "quorvane_" + settings_.node;
    return "{\"name\":\"Temperature\",\"unique_id\":" + jsonString(id + "_temperature") +
           ",\"device_class\":\"temperature\",\"state_class\":\"measurement\","
           "\"unit_of_measurement\":\"\u00b0C\",\"suggested_display_precision\":1,"
           "\"value_template\":\"{{ value_json.celsius }}\",\"state_topic\":" +
           jsonString(state_.topic) + ",\"json_attributes_topic\":" + jsonString(state_.topic) +
           ",\"availability_topic\":" + jsonString(topic("availability")) +
           ",\"payload_available\":\"online\",\"payload_not_available\":\"offline\","
           "\"expire_after\":" +
           std::to_string(expireAfter()) + ",\"device\":{\"identifiers\":[" + jsonString(id) +
           "],\"name\":" + jsonString("quorvane " + settings_.node) +
           ",\"model\":\"DS1621\",\"manufacturer\":\"quorvane\",\"sw_version\":" +
           jsonString(version_) + "}}";
}

void MqttLink::reading(const std::string& json, Clock::time_point now) {
    newest_ = json;
    offer(state_, json, now);
}

void MqttLink::failure(const std::string& json, Clock::time_point now) {
    offer(error_, json, now);
}

void MqttLink::offer(Paced& paced, const std::string& payload, Clock::time_point now) {
    paced.waiting = payload;
    sendDue(paced, now);
}

void MqttLink::sendDue(Paced& paced, Clock::time_point now) {
    const auto every = std::chrono::milliseconds(settings_.everyMilliseconds);
    if (!paced.waiting || !connected_ || (paced.last && now - *paced.last < every)) {
        return;
    }
    if (publish(paced.topic, *paced.waiting, false)) {
        paced.last = now;
        paced.waiting.reset();
        if (&paced == &state_ && !online_) {
            online_ = publish(topic("availability"), "online", true);
        }
    }
}

std::optional<std::chrono::milliseconds> MqttLink::untilDue(Clock::time_point now) const {
    std::optional<std::chrono::milliseconds> due;
    const auto every = std::chrono::milliseconds(settings_.everyMilliseconds);
    for (const Paced* paced : {&state_, &error_}) {
        if (paced->waiting && connected_ && paced->last) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(*paced->last + every - now);
            due = std::min(due.value_or(left), std::max(left, std::chrono::milliseconds(0)));
        }
    }
    if (configDue_ && connected_) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*configDue_ - now);
        due = std::min(due.value_or(left), std::max(left, std::chrono::milliseconds(0)));
    }
    if (!connected_ && !failing_) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(since_ + kConnectPatience - now);
        due = std::min(due.value_or(left), std::max(left, std::chrono::milliseconds(0)));
    }
    return due;
}

bool MqttLink::publish(const std::string& topic, const std::string& payload, bool retained) {
    // At most once for the readings, which the next one replaces; at least once for what is kept.
    int id = 0;
    const int result =
        mosquitto_publish(connection_->client, &id, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), retained ? 1 : 0, retained);
    if (result == MOSQ_ERR_SUCCESS && retained) {
        awaited_.emplace_back(id, topic);
        if (awaited_.size() > kAwaited) {
            awaited_.pop_front();
        }
    }
    // Without a connection there is nothing to say beyond what the loss has said.
    if (result != MOSQ_ERR_SUCCESS && result != MOSQ_ERR_NO_CONN) {
        std::string reason = reasonOf(result);
        while (reason.ends_with('.')) {
            reason.pop_back();
        }
        refused(topic, reason);
    }
    return result == MOSQ_ERR_SUCCESS;
}

void MqttLink::refused(const std::string& topic, const std::string& reason) {
    if (refusals_.insert(topic + reason).second) {
        tools::report(kProgram, "cannot publish to " + topic + " on the MQTT broker " + where() +
                                    ": " + reason + "; going on");
    }
}

void MqttLink::publishConfig(Clock::time_point now) {
    publish(configTopic(), discoveryConfig(), true);
    lastConfig_ = now;
    configDue_.reset();
}

void MqttLink::handle(Clock::time_point now) {
    std::deque<Event> events;
    {
        const std::lock_guard lock(connection_->mutex);
        events.swap(connection_->events);
    }
    for (const Event& event : events) {
        switch (event.kind) {
            case EventKind::Connected:
                connected_ = true;
                if (failing_) {
                    tools::report(kProgram, "MQTT broker " + where() + " reached again");
                }
                failing_ = false;
                reached_ = true;
                refusals_.clear();
                awaited_.clear();
                online_ = false;
                if (settings_.discovery) {
                    publishConfig(now);
                    mosquitto_subscribe(connection_->client, nullptr,
                                        statusTopic(settings_).c_str(), 1);
                }
                if (newest_) {
                    // The newest reading at once, whatever was sent before the connection went,
                    // and "online" with it.
                    state_.waiting = newest_;
                    state_.last.reset();
                } else {
                    // No reading of this run yet: whatever an earlier run left there, the sensor
                    // is unavailable until one comes.
                    publish(topic("availability"), "offline", true);
                }
                break;
            case EventKind::Refused:
                failed(event.reason);
                break;
            case EventKind::Lost:
                if (connected_) {
                    since_ = now;
                }
                connected_ = false;
                failed(event.reason);
                break;
            case EventKind::HomeAssistantOnline:
                // Taken: the next "online" is news again.
                connection_->homeAssistantOnline = false;
                if (connected_ && settings_.discovery && !configDue_) {
                    configDue_ = lastConfig_ ? std::max(now, *lastConfig_ + kConfigPause) : now;
                }
                break;
            case EventKind::MessageRefused: {
                std::string refusedTopic = "a retained topic";
                for (const auto& [id, awaited] : awaited_) {
                    if (id == event.code) {
                        refusedTopic = awaited;
                    }
                }
                refused(refusedTopic, event.reason);
                break;
            }
        }
    }
    if (!connected_ && !failing_ && now - since_ >= kConnectPatience) {
        failed("no answer");
    }
    if (configDue_ && connected_ && now >= *configDue_) {
        publishConfig(now);
    }
    sendDue(state_, now);
    sendDue(error_, now);
}

void MqttLink::failed(const std::string& reason) {
    if (!failing_) {
        tools::report(kProgram, std::string(reached_ ? "lost the MQTT broker "
                                                     : "cannot reach the MQTT broker ") +
                                    where() + ": " + reason + "; going on, and trying again");
    }
    failing_ = true;
}

std::string MqttLink::where() const {
    const BrokerAddress& b = settings_.broker;
    const bool v6 = b.host.find(':') != std::string::npos;
    return (v6 ? "[" + b.host + "]" : b.host) + ":" + std::to_string(b.port);
}

void MqttLink::stop() {
    if (connected_) {
        Connection& c = *connection_;
        // What waits for its turn goes now: the last reading is not kept back by the pace.
        for (Paced* paced : {&state_, &error_}) {
            if (paced->waiting) {
                publish(paced->topic, *paced->waiting, false);
            }
        }
        const std::string availability = topic("availability");
        int id = -1;
        mosquitto_publish(c.client, &id, availability.c_str(), 7, "offline", 1, true);
        // The broker's acknowledgement, or two seconds: a stop never waits longer.
        const auto until = Clock::now() + std::chrono::seconds(2);
        while (c.acknowledged != id && Clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        mosquitto_disconnect(c.client);
    }
    connected_ = false;
}

void MqttLink::onConnect(mosquitto* /*client*/, void* connection, int code, int /*flags*/,
                         const mosquitto_property* properties) {
    auto& c = *static_cast<Connection*>(connection);
    if (code == 0) {
        c.accepted = true;
        std::uint16_t keepAlive = 0;
        if (mosquitto_property_read_int16(properties, MQTT_PROP_SERVER_KEEP_ALIVE, &keepAlive,
                                          false) != nullptr) {
            c.keepAlive = keepAlive;
        }
        c.post({EventKind::Connected, code, {}});
    } else if (c.mqtt5 && code == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION) {
        c.olderProtocol = true;
    } else {
        c.post({EventKind::Refused, code,
                c.mqtt5 ? mosquitto_reason_string(code) : mosquitto_connack_string(code)});
    }
}

void MqttLink::onMessage(mosquitto* /*client*/, void* connection,
                         const mosquitto_message* message) {
    // Only these few bytes matter: nothing of the message is kept, and a flood of them is one
    // event until the exporter's loop has taken it.
    constexpr std::string_view kOnline = "online";
    auto& c = *static_cast<Connection*>(connection);
    if (message->payloadlen == static_cast<int>(kOnline.size()) &&
        std::memcmp(message->payload, kOnline.data(), kOnline.size()) == 0 &&
        !c.homeAssistantOnline.exchange(true)) {
        c.post({EventKind::HomeAssistantOnline, 0, {}});
    }
}

void MqttLink::onPublish(mosquitto* /*client*/, void* connection, int id, int code,
                         const mosquitto_property* /*properties*/) {
    auto& c = *static_cast<Connection*>(connection);
    c.acknowledged = id;
    // A reason code of 128 or more is the broker's refusal.
    if (code >= MQTT_RC_UNSPECIFIED) {
        c.post({EventKind::MessageRefused, id, mosquitto_reason_string(code)});
    }
}

void MqttLink::onLog(mosquitto* /*client*/, void* connection, int level, const char* text) {
    if ((level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING)) != 0 && text != nullptr) {
        auto& c = *static_cast<Connection*>(connection);
        const std::lock_guard lock(c.mutex);
        c.lastError = text;
    }
}

}  // namespace quorvane::exporter
