#include "export/mqtt_settings.h"

#include <fcntl.h>
#include <mosquitto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "numbers/numbers.h"

namespace quorvane::exporter {

std::variant<BrokerAddress, SettingError> parseBrokerUrl(std::string_view url) {
    const auto bad = [url](const std::string& why) {
        return SettingError{"bad broker URL '" + std::string(url) + "': " + why +
                            " (mqtt://[USER@]HOST[:PORT] or mqtts://...)"};
    };
    BrokerAddress address;
    const std::size_t scheme = url.find("://");
    if (scheme == std::string_view::npos) {
        return bad("no scheme");
    }
    if (url.substr(0, scheme) == "mqtts") {
        address.tls = true;
    } else if (url.substr(0, scheme) != "mqtt") {
        return bad("unknown scheme " + std::string(url.substr(0, scheme)));
    }
    std::string_view rest = url.substr(scheme + 3);
    if (rest.ends_with('/')) {
        rest.remove_suffix(1);
    }
    if (rest.find_first_of("/?#") != std::string_view::npos) {
        return bad("a path, query or fragment has no meaning here");
    }
    if (const std::size_t at = rest.rfind('@'); at != std::string_view::npos) {
        address.user = std::string(rest.substr(0, at));
        if (address.user.empty() || address.user.find(':') != std::string::npos) {
            return bad(address.user.empty() ? "empty user"
                                            : "a password belongs in --mqtt-password-file");
        }
        rest.remove_prefix(at + 1);
    }
    std::string_view port;
    if (rest.starts_with('[')) {
        const std::size_t close = rest.find(']');
        if (close == std::string_view::npos) {
            return bad("unclosed [");
        }
        address.host = std::string(rest.substr(1, close - 1));
        rest.remove_prefix(close + 1);
        if (!rest.empty() && !rest.starts_with(':')) {
            return bad("text after the address");
        }
        port = rest.empty() ? rest : rest.substr(1);
    } else {
        const std::size_t colon = rest.find(':');
        address.host = std::string(rest.substr(0, colon));
        port = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        if (colon != std::string_view::npos && port.empty()) {
            return bad("empty port");
        }
    }
    if (address.host.empty()) {
        return bad("no host");
    }
    address.port = address.tls ? 8883 : 1883;
    if (!port.empty()) {
        const auto number = numbers::parseInteger(port, 1, 65535);
        if (!number) {
            return bad("the port must be a number from 1 to 65535");
        }
        address.port = static_cast<int>(*number);
    }
    return address;
}

std::variant<int, SettingError> openRegularFile(const std::string& path, const std::string& what) {
    // Opened without waiting, so that a FIFO or a device cannot hold up the start, and judged by
    // the open file itself, so that nothing can take its place between the look and the read.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return SettingError{"cannot read " + what + " " + path + ": " + std::strerror(errno)};
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return SettingError{what + " " + path + " is not a regular file"};
    }
    return fd;
}

std::variant<std::string, SettingError> readPasswordFile(const std::string& path) {
    const std::string what = "the password file";
    const auto opened = openRegularFile(path, what);
    if (const auto* error = std::get_if<SettingError>(&opened)) {
        return *error;
    }
    const int fd = std::get<int>(opened);
    struct stat info {};
    std::string content;
    std::string error;
    if (fstat(fd, &info) != 0 || (info.st_mode & S_IROTH) != 0) {
        error = what + " " + path +
                " may be read by every user: let only its owner and group read it (chmod o-r)";
    } else {
        char buffer[4096];
        ssize_t n = 0;
        // The first line is all that is kept; a password is never that long.
        while (content.find('\n') == std::string::npos && content.size() < 65536 &&
               (n = read(fd, buffer, sizeof buffer)) != 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                error.append("cannot read ").append(what).append(" ").append(path).append(": ");
                error.append(std::strerror(errno));
                break;
            }
            content.append(buffer, static_cast<std::size_t>(n));
        }
    }
    close(fd);
    if (!error.empty()) {
        return SettingError{error};
    }
    content.resize(std::min(content.find('\n'), content.size()));
    if (content.ends_with('\r')) {
        content.pop_back();
    }
    return content;
}

std::string nodeName(std::string_view name) {
    std::string node;
    for (const char c : name) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '_' || c == '-') {
            node.push_back(c);
        }
    }
    return node;
}

std::string nodeTopic(const MqttSettings& settings, std::string_view leaf) {
    return "quorvane/" + settings.node + "/" + std::string(leaf);
}

std::string configTopic(const MqttSettings& settings) {
    return settings.haPrefix + "/sensor/quorvane_" + settings.node + "/config";
}

std::string statusTopic(const MqttSettings& settings) {
    return settings.haPrefix + "/status";
}

namespace {

// A text as a message can show it: control characters and bytes beyond ASCII as \xNN, and only
// the start of a long one.
std::string shown(std::string_view text) {
    constexpr std::size_t kShown = 40;
    std::string result;
    for (const char c : text.substr(0, kShown)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            result += escaped;
        } else {
            result.push_back(c);
        }
    }
    if (text.size() > kShown) {
        result += "... (" + std::to_string(text.size()) + " bytes)";
    }
    return result;
}

// Why MQTT refuses the topic; empty when it does not.
std::string topicRefusal(const std::string& topic) {
    constexpr std::size_t kLongest = 65535;
    if (topic.size() > kLongest) {
        return "its topics would be longer than MQTT's " + std::to_string(kLongest) + " bytes";
    }
    const int length = static_cast<int>(topic.size());
    if (mosquitto_pub_topic_check2(topic.c_str(), static_cast<std::size_t>(length)) !=
        MOSQ_ERR_SUCCESS) {
        return "MQTT keeps + and # for subscriptions";
    }
    if (mosquitto_validate_utf8(topic.c_str(), length) != MOSQ_ERR_SUCCESS) {
        return "MQTT's topics are UTF-8 without control characters";
    }
    return "";
}

}  // namespace

std::optional<SettingError> topicError(const MqttSettings& settings, std::string_view nodeOption) {
    // Each topic with the option that shapes it: the prefix alone, the node alone, then both.
    const std::pair<std::string, std::string> topics[] = {
        {statusTopic(settings), "--ha-prefix '" + shown(settings.haPrefix) + "'"},
        {nodeTopic(settings, "availability"),
         std::string(nodeOption) + " '" + shown(settings.node) + "'"},
        {configTopic(settings), std::string(nodeOption) + " '" + shown(settings.node) +
                                    "' with --ha-prefix '" + shown(settings.haPrefix) + "'"},
    };
    for (const auto& [topic, option] : topics) {
        if (const std::string why = topicRefusal(topic); !why.empty()) {
            std::string message = "bad ";
            message.append(option).append(": ").append(why);
            return SettingError{message};
        }
    }
    return std::nullopt;
}

}  // namespace quorvane::exporter
