#include "export/export_options.h"

#include <unistd.h>

#include <array>
#include <cmath>

#include "numbers/numbers.h"

namespace quorvane::exporter {

const char* const kExportUsage =
    "Usage: quorvane-export [OPTION]... [--] [PROGRAM [ARG]...]\n"
    "Pass on what a quorvane program prints, read from standard input or from PROGRAM run as a\n"
    "child, and export each measurement the moment its last character arrives.\n"
    "\n"
    "  -l, --lines           each record and message as a line of its own that ends with a\n"
    "                        newline (default: a copy of the input, unchanged)\n"
    "  -j, --json            one JSON object per record instead of the copy\n"
    "  -t, --textfile FILE   after each record, replace FILE with the readings in Prometheus\n"
    "                        text format (for node_exporter's text-file collector)\n"
    "      --sensor NAME     this thermometer's name: letters, digits, '_' and '-', the label\n"
    "                        sensor of its metrics and its MQTT node (default: the host name)\n"
    "      --offset DEGREES  add DEGREES Celsius (-10 to 10, such as -0.4) to every reading in\n"
    "                        the JSON, the metrics and MQTT; the program's lines stay as printed\n"
    "      --mqtt URL        publish to the MQTT broker at mqtt://[USER@]HOST[:PORT] (1883) or\n"
    "                        mqtts://[USER@]HOST[:PORT] (TLS, 8883)\n"
    "      --mqtt-password-file FILE  the broker password: the first line of FILE, which other\n"
    "                        users must not be able to read\n"
    "      --mqtt-cafile FILE  the certificate authority of an mqtts broker (default: the\n"
    "                        system's)\n"
    "      --node NAME       this thermometer's name in topics and ids (default: the sensor)\n"
    "      --mqtt-every SECONDS  publish the state at most this often, the newest reading each\n"
    "                        time (default 10; 0: every record)\n"
    "      --mqtt-keepalive SECONDS  how often the link to the broker is checked (5 to\n"
    "                        65535, default 30); a broker silent for twice that is lost\n"
    "      --ha-prefix PREFIX  Home Assistant's discovery prefix (default homeassistant)\n"
    "      --no-discovery    publish no Home Assistant discovery config\n"
    "  -h, --help            show this help and exit\n"
    "\n"
    "With PROGRAM, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1 and SIGUSR2 are passed on to it, it\n"
    "ends when the exporter dies, and the exit status is its own (128 + the number of the signal\n"
    "that ended it; 127 when it cannot be run).\n"
    "Without: 0 at the end of the input, 1 when an output failed, 2 for a bad command line.\n";

namespace {

enum LongOnly : int {
    Offset = 256,
    Mqtt,
    PasswordFile,
    CaFile,
    Node,
    Every,
    KeepAlive,
    HaPrefix,
    NoDiscovery,
    Sensor,
};

// A decimal of at most two places within [-10, 10], in hundredths.
std::optional<long> offsetHundredths(std::string_view text) {
    const std::size_t point = text.find('.');
    if (point != std::string_view::npos && text.size() - point - 1 > 2) {
        return std::nullopt;
    }
    const auto value = numbers::parseDecimal(text, -10, 10);
    if (!value) {
        return std::nullopt;
    }
    return std::lround(*value * 100);
}

std::string hostName() {
    std::array<char, 256> name{};
    if (gethostname(name.data(), name.size() - 1) != 0) {
        return "";
    }
    return name.data();
}

}  // namespace

tools::CommandLine<ExportOptions> parseExportOptions(int argc, char* argv[]) {
    ExportOptions options;
    bool lines = false;
    bool json = false;
    MqttSettings mqtt;
    std::optional<std::string> url;
    std::optional<std::string> passwordFile;
    std::optional<std::string> node;
    std::optional<std::string> sensor;
    bool mqttOnly = false;  // an option that means nothing without --mqtt
    // The first word that is not an option begins the program's command line, with its own.
    tools::OptionReader reader(argc, argv, tools::Words::EndOptions,
                               {{"lines", 'l', false},
                                {"json", 'j', false},
                                {"textfile", 't', true},
                                {"sensor", LongOnly::Sensor, true},
                                {"offset", LongOnly::Offset, true},
                                {"mqtt", LongOnly::Mqtt, true},
                                {"mqtt-password-file", LongOnly::PasswordFile, true},
                                {"mqtt-cafile", LongOnly::CaFile, true},
                                {"node", LongOnly::Node, true},
                                {"mqtt-every", LongOnly::Every, true},
                                {"mqtt-keepalive", LongOnly::KeepAlive, true},
                                {"ha-prefix", LongOnly::HaPrefix, true},
                                {"no-discovery", LongOnly::NoDiscovery, false}});
    for (int c = reader.next(); c != tools::OptionReader::kEnd; c = reader.next()) {
        const std::string value(reader.value());
        switch (c) {
            case 'l':
                lines = true;
                break;
            case 'j':
                json = true;
                break;
            case 't':
                if (value.empty()) {
                    return tools::UsageError{"the text file name is empty"};
                }
                options.textfile = value;
                break;
            case LongOnly::Sensor:
                // The name becomes a label value, a topic level and a file name elsewhere: the
                // characters that are safe in all of them, and nothing changed behind the
                // user's back.
                if (value.empty() || nodeName(value) != value) {
                    return tools::UsageError{"bad --sensor '" + value +
                                             "': letters, digits, '_' and '-' only"};
                }
                sensor = value;
                break;
            case LongOnly::Offset: {
                const auto hundredths = offsetHundredths(value);
                if (!hundredths) {
                    return tools::UsageError{"bad offset '" + value +
                                             "': degrees Celsius from -10 to 10, at most two "
                                             "decimals (such as -0.4)"};
                }
                options.offset = {*hundredths, true};
                break;
            }
            case LongOnly::Mqtt:
                url = value;
                break;
            case LongOnly::PasswordFile:
                passwordFile = value;
                break;
            case LongOnly::CaFile:
                if (value.empty()) {
                    return tools::UsageError{"the certificate file name is empty"};
                }
                mqtt.cafile = value;
                mqttOnly = true;
                break;
            case LongOnly::Node:
                node = value;
                mqttOnly = true;
                break;
            case LongOnly::Every: {
                const auto seconds = numbers::parseDecimal(value, 0, 86400);
                if (!seconds) {
                    return tools::UsageError{"bad --mqtt-every '" + value +
                                             "': seconds from 0 to 86400"};
                }
                mqtt.everyMilliseconds = static_cast<int>(std::lround(*seconds * 1000));
                mqttOnly = true;
                break;
            }
            case LongOnly::KeepAlive: {
                // libmosquitto takes no less than five seconds.
                const auto seconds = numbers::parseInteger(value, 5, 65535);
                if (!seconds) {
                    return tools::UsageError{"bad --mqtt-keepalive '" + value +
                                             "': seconds from 5 to 65535"};
                }
                mqtt.keepAliveSeconds = static_cast<int>(*seconds);
                mqttOnly = true;
                break;
            }
            case LongOnly::HaPrefix:
                // A wildcard or an empty level would make a topic the broker refuses.
                if (value.empty() || value.find_first_of("+#") != std::string::npos ||
                    value.starts_with('/') || value.ends_with('/')) {
                    return tools::UsageError{"bad --ha-prefix '" + value + "'"};
                }
                mqtt.haPrefix = value;
                mqttOnly = true;
                break;
            case LongOnly::NoDiscovery:
                mqtt.discovery = false;
                mqttOnly = true;
                break;
            case 'h':
                return tools::HelpRequested{};
            default:
                return reader.error(c);
        }
    }
    if (lines && json) {
        return tools::UsageError{"--lines and --json exclude each other"};
    }
    options.format = json ? Format::Json : lines ? Format::Lines : Format::Copy;
    options.sensor = sensor ? *sensor : nodeName(hostName());
    if (options.textfile && options.sensor.empty()) {
        return tools::UsageError{"the host name '" + hostName() +
                                 "' has no letter, digit, '_' or '-': give a name with --sensor"};
    }
    if (url) {
        auto broker = parseBrokerUrl(*url);
        if (const auto* error = std::get_if<SettingError>(&broker)) {
            return tools::UsageError{error->message};
        }
        mqtt.broker = std::get<BrokerAddress>(broker);
        if (mqtt.cafile && !mqtt.broker.tls) {
            return tools::UsageError{"--mqtt-cafile needs an mqtts:// broker"};
        }
        if (mqtt.cafile) {
            const auto opened = openRegularFile(*mqtt.cafile, "the certificate file");
            if (const auto* error = std::get_if<SettingError>(&opened)) {
                return tools::UsageError{error->message};
            }
            close(std::get<int>(opened));
        }
        if (passwordFile) {
            if (mqtt.broker.user.empty()) {
                return tools::UsageError{"a password needs a user: mqtt://USER@HOST"};
            }
            auto password = readPasswordFile(*passwordFile);
            if (const auto* error = std::get_if<SettingError>(&password)) {
                return tools::UsageError{error->message};
            }
            mqtt.password = std::get<std::string>(password);
        }
        const std::string given = node ? *node : options.sensor;
        mqtt.node = nodeName(given);
        if (mqtt.node.empty()) {
            return tools::UsageError{"the node name '" + given +
                                     "' has no letter, digit, '_' or '-': give one with --node"};
        }
        // A node not given is the sensor's name, and a topic it cannot make is that option's fault.
        if (const auto error = topicError(mqtt, node ? "--node" : "--sensor")) {
            return tools::UsageError{error->message};
        }
        options.mqtt = mqtt;
    } else if (mqttOnly || passwordFile) {
        return tools::UsageError{"the MQTT options need --mqtt URL"};
    }
    for (const char* word : reader.rest()) {
        options.program.emplace_back(word);
    }
    if (!options.program.empty() && options.program.front().empty()) {
        return tools::UsageError{"the program name is empty"};
    }
    return options;
}

}  // namespace quorvane::exporter
