#include "kit/mqtt_broker.h"

#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>

namespace quorvane::testkit {

namespace {

bool accepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected =
        connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

}  // namespace

int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        close(fd);
        throw std::runtime_error("no free port");
    }
    close(fd);
    return ntohs(address.sin_port);
}

MqttBroker::MqttBroker(const std::string& settings) : port_(freePort()), secondPort_(freePort()) {
    std::string config = "persistence false\nlog_dest stderr\nlog_type error\n";
    // Run as root, mosquitto would read its files as the user mosquitto, and this directory is
    // the test's alone.
    if (geteuid() == 0) {
        config += "user root\n";
    }
    config += "listener " + std::to_string(port_) + " 127.0.0.1\n";
    std::string rest = settings;
    for (std::size_t at = rest.find("PORT2"); at != std::string::npos; at = rest.find("PORT2")) {
        rest.replace(at, 5, std::to_string(secondPort_));
    }
    std::ofstream(dir_.file("mosquitto.conf")) << "per_listener_settings false\n" << rest << config;
    start();
}

MqttBroker::~MqttBroker() {
    stop();
}

void MqttBroker::start() {
    process_.emplace(ChildSpec{QUORVANE_MOSQUITTO_PROGRAM,
                               {"-c", dir_.file("mosquitto.conf")},
                               {},
                               dir_.path(),
                               false,
                               true});
    if (!eventually([this] { return accepts(port_); })) {
        throw std::runtime_error("mosquitto does not listen: " + process_->errors());
    }
}

void MqttBroker::stop() {
    if (process_) {
        process_->stop(SIGTERM);
        process_.reset();
    }
}

void MqttBroker::signal(int sig) const {
    if (process_) {
        process_->sendSignal(sig);
    }
}

std::string MqttBroker::log() const {
    return process_ ? process_->errors() : std::string();
}

MqttClient::MqttClient(int port, const std::string& filter, const std::optional<MqttLogin>& login) {
    mosquitto_lib_init();
    client_ = mosquitto_new(nullptr, true, this);
    if (client_ == nullptr) {
        throw std::runtime_error("cannot make an MQTT client");
    }
    mosquitto_message_callback_set(client_, received);
    mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
    if (login) {
        mosquitto_username_pw_set(client_, login->user.c_str(), login->password.c_str());
    }
    if (mosquitto_connect(client_, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS ||
        mosquitto_subscribe(client_, nullptr, filter.c_str(), 1) != MOSQ_ERR_SUCCESS ||
        mosquitto_loop_start(client_) != MOSQ_ERR_SUCCESS) {
        mosquitto_destroy(client_);
        throw std::runtime_error("cannot subscribe to the broker on port " + std::to_string(port));
    }
}

MqttClient::~MqttClient() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
    mosquitto_lib_cleanup();
}

void MqttClient::received(mosquitto* /*client*/, void* self, const mosquitto_message* message) {
    auto* client = static_cast<MqttClient*>(self);
    MqttMessage kept{message->topic,
                     std::string(static_cast<const char*>(message->payload),
                                 static_cast<std::size_t>(message->payloadlen)),
                     message->retain, std::chrono::steady_clock::now()};
    const std::lock_guard lock(client->mutex_);
    client->messages_.push_back(std::move(kept));
}

std::vector<MqttMessage> MqttClient::messages() const {
    const std::lock_guard lock(mutex_);
    return messages_;
}

std::vector<MqttMessage> MqttClient::on(const std::string& topic) const {
    std::vector<MqttMessage> found;
    for (MqttMessage& message : messages()) {
        if (message.topic == topic) {
            found.push_back(std::move(message));
        }
    }
    return found;
}

bool MqttClient::waitFor(const std::function<bool(const std::vector<MqttMessage>&)>& done,
                         std::chrono::milliseconds timeout) const {
    return eventually([&] { return done(messages()); }, timeout);
}

void MqttClient::publish(const std::string& topic, const std::string& payload, bool retained) {
    mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                      payload.data(), 1, retained);
}

}  // namespace quorvane::testkit
