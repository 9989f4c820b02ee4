// quorvane-export over MQTT against a real mosquitto broker: what Home Assistant needs to find
// the thermometer, the pace of the states, the will, a broker lost and found mid-run without the
// program's lines ever waiting, and logins and certificates that are refused without a fallback.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "kit/child_process.h"
#include "kit/files.h"
#include "kit/mqtt_broker.h"
#include "password_file.h"

namespace {

using namespace std::chrono_literals;
using namespace quorvane::testkit;
using Clock = std::chrono::steady_clock;

const std::string kExport = QUORVANE_EXPORT_PATH;

ChildProcess startExport(const std::vector<std::string>& arguments) {
    return ChildProcess({kExport, arguments, {"TZ=UTC0"}, {}, true, true});
}

std::string broker(int port, const std::string& scheme = "mqtt", const std::string& user = "") {
    return scheme + "://" + (user.empty() ? "" : user + "@") + "127.0.0.1:" + std::to_string(port);
}

// The n-th record of a run that the tests feed in: 20.0, 20.1, ... C, a second apart.
std::string measurement(int n) {
    char text[64];
    std::snprintf(text, sizeof text, "\n%4.1f C 14:%02d:%02d 12/08/2026", 20 + (n % 100) / 10.0,
                  n / 60 % 60, n % 60);
    return text;
}

std::size_t countOf(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

bool has(const std::vector<MqttMessage>& messages, const std::string& topic,
         const std::string& payload = "") {
    for (const MqttMessage& m : messages) {
        if (m.topic == topic && (payload.empty() || m.payload == payload)) {
            return true;
        }
    }
    return false;
}

TEST(ExportMqtt, HomeAssistantFindsATemperatureSensorAndItsReadingsAtTheirPace) {
    const MqttBroker mosquitto;
    MqttClient home(mosquitto.port(), "#");
    const TempDir dir;
    const std::string metrics = dir.file("q.prom");
    auto exporter =
        startExport({"--json", "--offset", "-0.4", "--textfile", metrics, "--mqtt",
                     broker(mosquitto.port()), "--node", "kit.chen!", "--mqtt-every", "1"});
    const std::string config = "homeassistant/sensor/quorvane_kitchen/config";
    ASSERT_TRUE(home.waitFor([&](const auto& m) { return has(m, config); })) << exporter.errors();

    // Records every 100 ms for three and a half seconds: a state at once, then one a second.
    const auto start = Clock::now();
    for (int n = 0; n < 35; ++n) {
        exporter.writeInput(measurement(n));
        std::this_thread::sleep_until(start + (n + 1) * 100ms);
    }
    exporter.closeInput();
    const auto end = exporter.wait();
    ASSERT_TRUE(end && end->exited && end->exitCode == 0) << exporter.errors();
    // A busy machine stretches the run and delays deliveries, so the pace is judged by what
    // it cannot change: how many states the run's length allows, and how far apart their
    // records are.
    const auto runSeconds =
        std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();

    const auto states = home.on("quorvane/kitchen/state");
    ASSERT_GE(states.size(), 4u);
    // At most one a second, and the last one at the stop.
    EXPECT_LE(states.size(), static_cast<std::size_t>(runSeconds) + 2);
    std::string previous;
    for (std::size_t i = 0; i < states.size(); ++i) {
        const auto state = nlohmann::json::parse(states[i].payload);
        const std::string time = state.at("time");
        EXPECT_GT(time, previous) << "each state newer than the one before";
        previous = time;
        EXPECT_FALSE(states[i].retained);
        EXPECT_EQ(state.at("offset"), -0.4);
        const int n = std::stoi(time.substr(14, 2)) * 60 + std::stoi(time.substr(17, 2));
        EXPECT_NEAR(state.at("celsius").get<double>(), 20 + n / 10.0 - 0.4, 1e-9);
        if (i == 0) {
            EXPECT_EQ(n, 0) << "the first reading at once";
        } else if (i + 1 < states.size()) {
            // The newest reading a second later, not the next one waiting: about ten records
            // come in a second, so the states' records run well ahead of their count.
            EXPECT_GE(n, 3 * static_cast<int>(i)) << "state " << i << " is record " << n;
        }
    }
    EXPECT_EQ(nlohmann::json::parse(states.back().payload).at("time"), "2026-12-08T14:00:34+00:00")
        << "the newest reading goes before a clean stop";
    EXPECT_EQ(home.on("quorvane/kitchen/availability").back().payload, "offline");
    // The offset in the JSON lines and the metrics too.
    EXPECT_NE(exporter.output().find("\"value\":23.0,\"unit\":\"C\",\"celsius\":23.0,"
                                     "\"offset\":-0.4}\n"),
              std::string::npos)
        << exporter.output();
    const std::string prom = readFile(metrics).value_or("");
    EXPECT_NE(prom.find("\nquorvane_temperature_celsius 23.0\n"), std::string::npos) << prom;
    EXPECT_NE(prom.find("\nquorvane_calibration_offset_celsius -0.4\n"), std::string::npos);

    // The config as Home Assistant requires it, kept by the broker for whoever comes later.
    MqttClient later(mosquitto.port(), config);
    ASSERT_TRUE(later.waitFor([](const auto& m) { return !m.empty(); }));
    const MqttMessage kept = later.messages().front();
    EXPECT_TRUE(kept.retained);
    const auto sensor = nlohmann::json::parse(kept.payload);
    EXPECT_EQ(sensor.at("device_class"), "temperature");
    EXPECT_EQ(sensor.at("state_class"), "measurement");
    EXPECT_EQ(sensor.at("unit_of_measurement"), "\u00b0C");
    EXPECT_EQ(sensor.at("value_template"), "{{ value_json.celsius }}");
    EXPECT_EQ(sensor.at("unique_id"), "quorvane_kitchen_temperature");
    EXPECT_EQ(sensor.at("state_topic"), "quorvane/kitchen/state");
    EXPECT_EQ(sensor.at("availability_topic"), "quorvane/kitchen/availability");
    EXPECT_GE(sensor.at("expire_after").get<int>(), 60);
    EXPECT_EQ(sensor.at("device").at("model"), "DS1621");
    EXPECT_EQ(sensor.at("device").at("identifiers"), nlohmann::json::array({"quorvane_kitchen"}));
    EXPECT_FALSE(sensor.at("device").at("sw_version").get<std::string>().empty());

    // Started again: the same unique id; Home Assistant restarting gets the config again; a
    // killed exporter leaves the broker to say "offline".
    MqttClient again(mosquitto.port(), "#");
    auto second = startExport({"--lines", "--mqtt", broker(mosquitto.port()), "--node", "kitchen"});
    ASSERT_TRUE(again.waitFor([](const auto& m) {
        return has(m, "quorvane/kitchen/availability", "online") && !m.back().retained;
    })) << second.errors();
    const std::size_t configs = again.on(config).size();
    EXPECT_EQ(nlohmann::json::parse(again.on(config).back().payload).at("unique_id"),
              "quorvane_kitchen_temperature");
    home.publish("homeassistant/status", "online");
    EXPECT_TRUE(again.waitFor([&](const auto&) { return again.on(config).size() > configs; }));
    second.sendSignal(SIGKILL);
    EXPECT_TRUE(again.waitFor([](const auto& m) {
        return m.back().topic == "quorvane/kitchen/availability" && m.back().payload == "offline";
    }));
}

TEST(ExportMqtt, ABrokerLostMidRunHoldsUpNothingAndIsFoundAgain) {
    MqttBroker mosquitto;
    auto exporter = startExport(
        {"--lines", "--mqtt", broker(mosquitto.port()), "--node", "attic", "--mqtt-every", "0"});
    int n = 0;
    auto passes = [&](int count) {
        for (int i = 0; i < count; ++i, ++n) {
            exporter.writeInput(measurement(n));
            const auto lines = static_cast<std::size_t>(n) + 1;
            ASSERT_TRUE(exporter.readUntil(
                [lines](const std::string& out) { return countOf(out, "\n") == lines; }, 2s))
                << "record " << n << " held up";
            std::this_thread::sleep_for(20ms);
        }
    };
    {
        MqttClient home(mosquitto.port(), "quorvane/#");
        passes(5);
        ASSERT_TRUE(home.waitFor([](const auto& m) { return has(m, "quorvane/attic/state"); }));
    }
    mosquitto.stop();
    passes(60);  // over a second without a broker, each line at once
    ASSERT_TRUE(eventually([&] {
        return exporter.errors().find("lost the MQTT broker") != std::string::npos;
    })) << exporter.errors();
    mosquitto.start();
    MqttClient home(mosquitto.port(), "#");
    const std::string newest = measurement(n - 1).substr(1, 4);
    EXPECT_TRUE(home.waitFor([&](const auto& m) {
        return has(m, "quorvane/attic/availability", "online") &&
               has(m, "homeassistant/sensor/quorvane_attic/config") &&
               has(m, "quorvane/attic/state");
    })) << exporter.errors();
    EXPECT_NE(home.on("quorvane/attic/state").front().payload.find("\"value\":" + newest),
              std::string::npos)
        << "the newest reading after reconnecting";
    passes(5);
    exporter.closeInput();
    ASSERT_TRUE(exporter.wait());
    const std::string errors = exporter.errors();
    EXPECT_EQ(countOf(errors, "lost the MQTT broker 127.0.0.1:"), 1u) << errors;
    EXPECT_EQ(countOf(errors, "reached again"), 1u) << errors;
}

TEST(ExportMqtt, ARefusedLoginOrCertificateIsSaidAndNeverBypassed) {
    const TempDir keys;
    // A throwaway certificate authority, a broker certificate for 127.0.0.1 signed by it, and a
    // second authority that signed nothing.
    const auto ssl = [&keys](const std::vector<std::string>& args) {
        std::vector<std::string> argv{"openssl"};
        argv.insert(argv.end(), args.begin(), args.end());
        const ProgramResult result = runProgram(argv, keys.path());
        ASSERT_EQ(result.status, 0) << result.err;
    };
    for (const std::string ca : {"ca", "other"}) {
        ssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
             "/CN=quorvane test " + ca, "-keyout", ca + ".key", "-out", ca + ".crt"});
    }
    ssl({"req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout", "server.key",
         "-out", "server.csr"});
    std::ofstream(keys.file("san.ext")) << "subjectAltName=IP:127.0.0.1\n";
    ssl({"x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
         "-CAcreateserial", "-days", "2", "-extfile", "san.ext", "-out", "server.crt"});
    chmod(keys.file("server.key").c_str(), 0644);
    const std::string passwords = keys.file("passwords");
    ASSERT_EQ(runProgram({"mosquitto_passwd", "-c", "-b", passwords, "thermo", "s3cret"}).status,
              0);
    const MqttBroker mosquitto("allow_anonymous false\npassword_file " + passwords +
                               "\nlistener PORT2 127.0.0.1\ncafile " + keys.file("ca.crt") +
                               "\ncertfile " + keys.file("server.crt") + "\nkeyfile " +
                               keys.file("server.key") + "\n");
    MqttClient home(mosquitto.port(), "quorvane/#", MqttLogin{"thermo", "s3cret"});
    const std::string right = writePasswordFile(keys, "right", "s3cret", 0640);
    const std::string wrong = writePasswordFile(keys, "wrong", "guess", 0600);

    struct Case {
        std::vector<std::string> mqtt;
        std::string node;
        std::string complaint;  // empty: it publishes
    };
    const std::string tls = broker(mosquitto.secondPort(), "mqtts", "thermo");
    const Case cases[] = {
        {{"--mqtt", broker(mosquitto.port(), "mqtt", "thermo"), "--mqtt-password-file", wrong},
         "a",
         "cannot reach the MQTT broker 127.0.0.1:" + std::to_string(mosquitto.port()) +
             ": Connection Refused: not authorised"},
        {{"--mqtt", tls, "--mqtt-password-file", right, "--mqtt-cafile", keys.file("other.crt")},
         "b",
         "certificate verify failed"},
        {{"--mqtt", broker(mosquitto.port(), "mqtt", "thermo"), "--mqtt-password-file", right},
         "c",
         ""},
        {{"--mqtt", tls, "--mqtt-password-file", right, "--mqtt-cafile", keys.file("ca.crt")},
         "d",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.node + " " + c.complaint);
        std::vector<std::string> args{"--lines", "--node", c.node, "--mqtt-every", "0"};
        args.insert(args.end(), c.mqtt.begin(), c.mqtt.end());
        auto exporter = startExport(args);
        const std::string state = "quorvane/" + c.node + "/state";
        for (int n = 0; n < 10; ++n) {
            exporter.writeInput(measurement(n));
            const auto lines = static_cast<std::size_t>(n) + 1;
            ASSERT_TRUE(exporter.readUntil(
                [lines](const std::string& out) { return countOf(out, "\n") == lines; }, 2s));
        }
        // The newest record waits for the login, which decides in its own time.
        if (c.complaint.empty()) {
            EXPECT_TRUE(home.waitFor([&](const auto& m) { return has(m, state); }))
                << exporter.errors();
        } else {
            EXPECT_TRUE(eventually([&] {
                return exporter.errors().find(c.complaint) != std::string::npos;
            })) << exporter.errors();
            EXPECT_FALSE(has(home.messages(), state)) << "published without a verified login";
        }
        exporter.closeInput();
        const auto end = exporter.wait();
        ASSERT_TRUE(end && end->exited);
        EXPECT_EQ(end->exitCode, 0) << "the broker is not the exporter's master";
        EXPECT_EQ(countOf(exporter.errors(), "quorvane-export: "), c.complaint.empty() ? 0u : 1u)
            << exporter.errors();
    }
}

}  // namespace
