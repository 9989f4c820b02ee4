// quorvane-export over MQTT against a real mosquitto broker: what Home Assistant needs to find
// the thermometer, the pace of the states, the will, a broker lost and found mid-run without the
// program's lines ever waiting, and logins and certificates that are refused without a fallback.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
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
    auto exporter = startExport({"--json", "--offset", "-0.4", "--textfile", metrics, "--sensor",
                                 "freezer", "--mqtt", broker(mosquitto.port()), "--node",
                                 "kit.chen!", "--mqtt-every", "1"});
    const std::string config = "homeassistant/sensor/quorvane_kitchen/config";
    const std::string availability = "quorvane/kitchen/availability";
    ASSERT_TRUE(home.waitFor([&](const auto& m) { return has(m, config); })) << exporter.errors();
    // No reading of this run yet: unavailable, whatever an earlier run left on the broker.
    ASSERT_TRUE(home.waitFor([&](const auto& m) { return has(m, availability, "offline"); }));
    EXPECT_FALSE(has(home.messages(), availability, "online"));

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
    EXPECT_EQ(home.on(availability).back().payload, "offline");
    // "online" came with the first state, not before it.
    const auto messages = home.messages();
    const auto firstOf = [&messages](const std::string& topic, const std::string& payload) {
        return std::find_if(messages.begin(), messages.end(), [&](const MqttMessage& m) {
            return m.topic == topic && (payload.empty() || m.payload == payload);
        });
    };
    EXPECT_LT(firstOf("quorvane/kitchen/state", ""), firstOf(availability, "online"));
    // The offset in the JSON lines and the metrics too.
    EXPECT_NE(exporter.output().find("\"value\":23.0,\"unit\":\"C\",\"celsius\":23.0,"
                                     "\"offset\":-0.4}\n"),
              std::string::npos)
        << exporter.output();
    const std::string prom = readFile(metrics).value_or("");
    EXPECT_NE(prom.find("\nquorvane_temperature_celsius{sensor=\"freezer\"} 23.0\n"),
              std::string::npos)
        << prom;
    EXPECT_NE(prom.find("\nquorvane_calibration_offset_celsius{sensor=\"freezer\"} -0.4\n"),
              std::string::npos);

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

    // Started again, named by its sensor alone: the same unique id; Home Assistant restarting
    // gets the config again; a killed exporter leaves the broker to say "offline".
    MqttClient again(mosquitto.port(), "#");
    auto second =
        startExport({"--lines", "--mqtt", broker(mosquitto.port()), "--sensor", "kitchen"});
    second.writeInput(measurement(40));
    ASSERT_TRUE(again.waitFor([&](const auto& m) {
        return has(m, availability, "online") && !m.back().retained;
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
             ": Not authorized"},
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

// The peak of a process's resident memory, in KiB.
long peakMemory(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmHWM:")) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

// Home Assistant's status topic flooded: five hundred "online" get the config again at most once
// per five seconds, and a message of 16 MiB never reaches the exporter.
TEST(ExportMqtt, FloodsOnHomeAssistantsStatusCostNeitherMemoryNorRepublishing) {
    const MqttBroker mosquitto;
    MqttClient home(mosquitto.port(), "homeassistant/#");
    auto exporter =
        startExport({"--lines", "--mqtt", broker(mosquitto.port()), "--node", "living-room"});
    const std::string config = "homeassistant/sensor/quorvane_living-room/config";
    ASSERT_TRUE(home.waitFor([&](const auto&) { return !home.on(config).empty(); }))
        << exporter.errors();
    const auto connected = Clock::now();
    const long before = peakMemory(exporter.pid());

    // Fewer than the broker queues for a client, so that every one reaches it.
    constexpr std::size_t kFlood = 500;
    MqttClient flood(mosquitto.port(), "nothing");
    for (std::size_t n = 0; n < kFlood; ++n) {
        flood.publish("homeassistant/status", "online");
    }
    flood.publish("homeassistant/status", std::string(std::size_t{16} << 20, 'o'));
    // Every one on its way past the exporter too: the broker hands a client its messages in order,
    // and the large one, sent last, comes last. A message sent again counts twice.
    ASSERT_TRUE(home.waitFor([&](const auto&) {
        const auto statuses = home.on("homeassistant/status");
        return statuses.size() >= kFlood + 1 && statuses.back().payload.size() > 1024;
    })) << home.on("homeassistant/status").size()
        << " of " << kFlood + 1 << " arrived";
    ASSERT_TRUE(home.waitFor([&](const auto&) { return home.on(config).size() >= 2; }))
        << exporter.errors();
    const auto configs = home.on(config);
    EXPECT_LE(configs.size(), 2 + static_cast<std::size_t>((Clock::now() - connected) / 5s));
    EXPECT_GE(configs[1].arrival - configs[0].arrival, std::chrono::milliseconds(4000));
    EXPECT_LT(peakMemory(exporter.pid()) - before, 4096) << "KiB more at the peak";
    exporter.closeInput();
    EXPECT_TRUE(exporter.wait());
    EXPECT_EQ(exporter.errors(), "");
}

// A broker that refuses the login is asked again after pauses that grow; one that stops answering
// is said to; a message that the library or the broker refuses is said to, and the rest still
// goes.
TEST(ExportMqtt, RefusalsAndSilenceAreSaidForWhatTheyAre) {
    const TempDir dir;
    const std::string passwords = dir.file("passwords");
    ASSERT_EQ(runProgram({"mosquitto_passwd", "-c", "-b", passwords, "thermo", "s3cret"}).status,
              0);
    writeFile(dir.file("acl"), "topic readwrite quorvane/#\ntopic read homeassistant/#\n");
    const std::string wrong = writePasswordFile(dir, "wrong", "guess", 0600);
    enum class Watch { Attempts, Silence, Publishing };
    struct Case {
        const char* name;
        std::string settings;  // the broker's
        std::string user;
        std::vector<std::string> options;
        Watch watch;
        std::string complaint;
    };
    const std::string config = "homeassistant/sensor/quorvane_cellar_2/config";
    const Case cases[] = {
        {"a broker that stops answering",
         "allow_anonymous true\n",
         "",
         {"--mqtt-keepalive", "5"},
         Watch::Silence,
         "lost the MQTT broker 127.0.0.1:PORT: no answer for 10 s (keep-alive missed)"},
        {"a refused login",
         "allow_anonymous false\npassword_file " + passwords + "\nlog_type notice\n",
         "thermo",
         {"--mqtt-password-file", wrong},
         Watch::Attempts,
         "cannot reach the MQTT broker 127.0.0.1:PORT: Not authorized; going on, and trying again"},
        {"a message the library refuses",
         "allow_anonymous true\nmax_packet_size 300\n",
         "",
         {},
         Watch::Publishing,
         "cannot publish to " + config +
             " on the MQTT broker 127.0.0.1:PORT: Packet larger than supported by the server"},
        {"a message the broker refuses",
         "allow_anonymous true\nacl_file " + dir.file("acl") + "\n",
         "",
         {},
         Watch::Publishing,
         "cannot publish to " + config + " on the MQTT broker 127.0.0.1:PORT: Not authorized"},
    };
    // All at once, each against a broker of its own; the silence, which takes longest, watched
    // first.
    const auto start = Clock::now();
    std::vector<std::unique_ptr<MqttBroker>> brokers;
    std::vector<std::unique_ptr<ChildProcess>> exporters;
    for (const Case& c : cases) {
        brokers.push_back(std::make_unique<MqttBroker>(c.settings));
        std::vector<std::string> args{"--lines", "--node", "cellar_2", "--mqtt",
                                      broker(brokers.back()->port(), "mqtt", c.user)};
        args.insert(args.end(), c.options.begin(), c.options.end());
        exporters.push_back(
            std::make_unique<ChildProcess>(ChildSpec{kExport, args, {"TZ=UTC0"}, {}, true, true}));
        exporters.back()->writeInput(measurement(0));
    }
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        MqttBroker& mosquitto = *brokers[i];
        ChildProcess& exporter = *exporters[i];
        std::string complaint = c.complaint;
        complaint.replace(complaint.find("PORT"), 4, std::to_string(mosquitto.port()));
        const auto said = [&] {
            return eventually(
                [&] { return exporter.errors().find(complaint) != std::string::npos; });
        };
        if (c.watch == Watch::Attempts) {
            // Attempts 1, 2, 5 s apart: the fourth no sooner than 8 s after the first.
            EXPECT_TRUE(eventually([&] { return countOf(mosquitto.log(), "not authorised") == 4; }))
                << mosquitto.log();
            EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(7500)) << mosquitto.log();
            EXPECT_TRUE(said()) << exporter.errors();
        } else if (c.watch == Watch::Silence) {
            MqttClient home(mosquitto.port(), "quorvane/#");
            ASSERT_TRUE(home.waitFor(
                [](const auto& m) { return has(m, "quorvane/cellar_2/availability", "online"); }));
            mosquitto.signal(SIGSTOP);
            EXPECT_TRUE(said()) << exporter.errors();
            mosquitto.signal(SIGCONT);
        } else {
            MqttClient home(mosquitto.port(), "quorvane/#");
            EXPECT_TRUE(home.waitFor([](const auto& m) {
                return has(m, "quorvane/cellar_2/availability", "online");
            })) << "the state went, and \"online\" with it";
            EXPECT_TRUE(said()) << exporter.errors();
        }
        exporter.closeInput();
        const auto end = exporter.wait();
        EXPECT_TRUE(end && end->exited && end->exitCode == 0);
        EXPECT_EQ(countOf(exporter.errors(), complaint), 1u) << "said once";
        if (c.watch != Watch::Silence) {
            EXPECT_EQ(countOf(exporter.errors(), "quorvane-export: "), 1u) << exporter.errors();
        }
    }
}

}  // namespace
