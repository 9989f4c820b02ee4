#include "export/mqtt_link.h"

#include <mosquitto.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

#include "common/command_line.h"

namespace quorvane::exporter {

namespace {

constexpr const char* kProgram = "quorvane-export";
constexpr int kKeepAliveSeconds = 30;
// A first connection that has not come about by then is reported, whatever the library says.
constexpr std::chrono::seconds kConnectPatience{10};

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
    c.client = mosquitto_new(clientId(settings_.node).c_str(), true, &c);
    if (c.client == nullptr) {
        throw std::runtime_error("cannot make an MQTT client");
    }
    // Published from the exporter's thread while the network thread reads and writes.
    mosquitto_threaded_set(c.client, true);
    mosquitto_connect_callback_set(c.client, onConnect);
    mosquitto_disconnect_callback_set(c.client, onDisconnect);
    mosquitto_message_callback_set(c.client, onMessage);
    mosquitto_publish_callback_set(c.client, onPublish);
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
    for (int attempt = 0; !stopping(); ++attempt) {
        int result = attempt == 0
                         ? mosquitto_connect(c.client, c.host.c_str(), c.port, kKeepAliveSeconds)
                         : mosquitto_reconnect(c.client);
        if (result == MOSQ_ERR_SUCCESS) {
            attempt = 0;
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
        std::string reason;
        {
            const std::lock_guard lock(c.mutex);
            reason = std::exchange(c.lastError, std::string());
        }
        if (reason.empty()) {
            reason = result == MOSQ_ERR_ERRNO ? std::strerror(error) : reasonOf(result);
        }
        while (reason.ends_with('.')) {
            reason.pop_back();
        }
        c.post({EventKind::Lost, result, reason});
        // From a second up to a minute between attempts, growing with their number.
        const auto pause = std::chrono::seconds(std::min(60, 1 + attempt * attempt));
        std::unique_lock lock(c.mutex);
        c.stopped.wait_for(lock, pause, [&c] { return c.stopping; });
    }
    mosquitto_disconnect(c.client);
    const std::lock_guard lock(c.mutex);
    c.running = false;
    c.stopped.notify_all();
}

std::string MqttLink::topic(const std::string& leaf) const {
    return "quorvane/" + settings_.node + "/" + leaf;
}

std::string MqttLink::configTopic() const {
    return settings_.haPrefix + "/sensor/quorvane_" + settings_.node + "/config";
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
    if (!connected_ && !failing_) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(since_ + kConnectPatience - now);
        due = std::min(due.value_or(left), std::max(left, std::chrono::milliseconds(0)));
    }
    return due;
}

bool MqttLink::publish(const std::string& topic, const std::string& payload, bool retained) {
    // At most once for the readings, which the next one replaces; at least once for what is kept.
    const int result = mosquitto_publish(connection_->client, nullptr, topic.c_str(),
                                         static_cast<int>(payload.size()), payload.data(),
                                         retained ? 1 : 0, retained);
    return result == MOSQ_ERR_SUCCESS;
}

void MqttLink::publishArrival() {
    publish(topic("availability"), "online", true);
    if (settings_.discovery) {
        publish(configTopic(), discoveryConfig(), true);
        const std::string status = settings_.haPrefix + "/status";
        mosquitto_subscribe(connection_->client, nullptr, status.c_str(), 1);
    }
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
                publishArrival();
                // The newest reading at once, whatever was sent before the connection went.
                if (newest_) {
                    state_.waiting = newest_;
                    state_.last.reset();
                }
                break;
            case EventKind::Refused:
                failed(mosquitto_connack_string(event.code));
                break;
            case EventKind::Lost:
                if (connected_) {
                    since_ = now;
                }
                connected_ = false;
                failed(event.reason);
                break;
            case EventKind::HomeAssistantOnline:
                if (connected_ && settings_.discovery) {
                    publish(configTopic(), discoveryConfig(), true);
                }
                break;
        }
    }
    if (!connected_ && !failing_ && now - since_ >= kConnectPatience) {
        failed("no answer");
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

void MqttLink::onConnect(mosquitto* /*client*/, void* connection, int code) {
    static_cast<Connection*>(connection)
        ->post({code == 0 ? EventKind::Connected : EventKind::Refused, code,
                code == 0 ? std::string() : mosquitto_connack_string(code)});
}

void MqttLink::onDisconnect(mosquitto* /*client*/, void* /*connection*/, int /*code*/) {
    // The network thread sees the loss itself, and says why.
}

void MqttLink::onMessage(mosquitto* /*client*/, void* connection,
                         const mosquitto_message* message) {
    const std::string payload(static_cast<const char*>(message->payload),
                              static_cast<std::size_t>(std::max(message->payloadlen, 0)));
    if (payload == "online") {
        static_cast<Connection*>(connection)->post({EventKind::HomeAssistantOnline, 0, {}});
    }
}

void MqttLink::onPublish(mosquitto* /*client*/, void* connection, int id) {
    static_cast<Connection*>(connection)->acknowledged = id;
}

void MqttLink::onLog(mosquitto* /*client*/, void* connection, int level, const char* text) {
    if ((level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING)) != 0 && text != nullptr) {
        auto& c = *static_cast<Connection*>(connection);
        const std::lock_guard lock(c.mutex);
        c.lastError = text;
    }
}

}  // namespace quorvane::exporter
