// Where and how quorvane-export publishes over MQTT, read from its command line before the program
// starts, so that a mistake ends the exporter at once rather than hours later.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace quorvane::exporter {

struct BrokerAddress {
    bool tls = false;
    std::string host;
    int port = 0;
    std::string user;  // empty: no login
};

struct MqttSettings {
    BrokerAddress broker;
    std::optional<std::string> password;
    std::optional<std::string> cafile;  // none: the system's certificate authorities
    std::string node;
    std::string haPrefix = "homeassistant";
    bool discovery = true;
    int everyMilliseconds = 10000;
    int keepAliveSeconds = 30;  // the broker may ask for less
};

// What is wrong with a setting, for the user.
struct SettingError {
    std::string message;
};

// mqtt://[USER@]HOST[:PORT] or mqtts://[USER@]HOST[:PORT]; an IPv6 address in brackets.
std::variant<BrokerAddress, SettingError> parseBrokerUrl(std::string_view url);

// A descriptor of `path`, open for reading, when it is a regular file; else what is wrong, with
// `what` it is ("the password file"). Nothing can make it wait: not a FIFO, not a device.
std::variant<int, SettingError> openRegularFile(const std::string& path, const std::string& what);

// The first line of a file that only its owner and group may read: a file every user may read
// has let the password out already.
std::variant<std::string, SettingError> readPasswordFile(const std::string& path);

// The name as topics and ids may carry it: letters, digits, '_' and '-' only; empty when
// nothing is left.
std::string nodeName(std::string_view name);

// The topics: the node's own, quorvane/NODE/LEAF, and Home Assistant's under its prefix, where
// the node's discovery config lies and where Home Assistant says it has started.
std::string nodeTopic(const MqttSettings& settings, std::string_view leaf);
std::string configTopic(const MqttSettings& settings);
std::string statusTopic(const MqttSettings& settings);

// What makes a topic of these settings one that MQTT refuses (a control character or bytes that
// are not UTF-8, a wildcard, more than 65535 bytes), naming the option to mend; none when the
// broker can be given every topic.
std::optional<SettingError> topicError(const MqttSettings& settings,
                                       std::string_view nodeOption = "--node");

}  // namespace quorvane::exporter
