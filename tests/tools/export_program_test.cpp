// quorvane-export as a process: JSON lines that leave with a record's last byte, a metrics file
// that readers never see half written, failures to write it reported once per spell, and a child
// program whose signals and exit status pass through.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "kit/child_process.h"
#include "kit/files.h"
#include "kit/sim_run.h"
#include "password_file.h"

namespace {

using namespace std::chrono_literals;
using namespace quorvane::testkit;

const std::string kExport = QUORVANE_EXPORT_PATH;

ChildProcess startExport(const std::vector<std::string>& arguments, bool keepErrors = false) {
    return ChildProcess({kExport, arguments, {"TZ=UTC0"}, {}, true, keepErrors});
}

ProgramResult runExport(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{kExport};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runProgram(argv);
}

std::size_t countOf(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

TEST(ExportProgram, EachJsonLineLeavesWithTheLastByteOfItsRecord) {
    struct Record {
        std::string text;
        nlohmann::json expected;
    };
    const std::vector<Record> records{
        {"\n21.4 C 14:05:09 12/08/2026",
         {{"time", "2026-12-08T14:05:09+00:00"},
          {"value", 21.4},
          {"unit", "C"},
          {"celsius", 21.4}}},
        {"\nError opening log file\nError reading thermometer 14:05:10 12/08/2026",
         {{"time", "2026-12-08T14:05:10+00:00"}, {"error", "Error reading thermometer"}}},
        {"\n*** garbage \x01\xff\n70.5 F 14:05:11 12/08/2026",
         {{"time", "2026-12-08T14:05:11+00:00"},
          {"value", 70.5},
          {"unit", "F"},
          {"celsius", 21.4}}},
        {"\n21.4 C 14:0\n-0.3 K 14:05:12 12/08/2026",
         {{"time", "2026-12-08T14:05:12+00:00"},
          {"value", -0.3},
          {"unit", "K"},
          {"celsius", -273.45}}},
    };
    auto exporter = startExport({"--json"});
    std::size_t lines = 0;
    auto linesOut = [&lines](const std::string& out) { return countOf(out, "\n") > lines; };
    for (const Record& record : records) {
        SCOPED_TRACE(record.text);
        exporter.writeInput(std::string_view(record.text).substr(0, record.text.size() - 1));
        EXPECT_FALSE(exporter.readUntil(linesOut, 100ms)) << "a line before the record is whole";
        exporter.writeInput(record.text.substr(record.text.size() - 1));
        ASSERT_TRUE(exporter.readUntil(linesOut)) << exporter.output();
        const std::string out = exporter.output();
        const std::size_t begin = lines == 0 ? 0 : out.rfind('\n', out.size() - 2) + 1;
        ++lines;
        EXPECT_EQ(nlohmann::json::parse(out.substr(begin)), record.expected) << out;
    }
    exporter.closeInput();
    const auto end = exporter.wait();
    ASSERT_TRUE(end);
    EXPECT_TRUE(end->exited && end->exitCode == 0);
    EXPECT_EQ(countOf(exporter.output(), "\n"), records.size()) << "nothing but the records";
}

TEST(ExportProgram, TheMetricsFileIsNeverSeenHalfWritten) {
    const TempDir dir;
    const std::string file = dir.file("quorvane.prom");
    auto exporter = startExport({"--textfile", file, "--json", "--sensor", "attic"});
    // Before any reading the file is there, with counters and without a made-up temperature.
    eventually([&file] { return std::filesystem::exists(file); });
    const std::string first = readFile(file).value_or("");
    EXPECT_NE(first.find("\nquorvane_readings_total{sensor=\"attic\"} 0\n"), std::string::npos)
        << first;
    EXPECT_EQ(first.find("\nquorvane_temperature_celsius{"), std::string::npos) << first;
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask) << "node_exporter runs as another user";

    std::atomic<bool> done{false};
    std::atomic<int> reads{0};
    std::atomic<int> partial{0};
    std::thread reader([&] {
        const std::string tail = "\nquorvane_read_errors_total{sensor=\"attic\"} ";
        while (!done) {
            const std::string content = readFile(file).value_or("");
            const std::size_t last = content.rfind(tail);
            if (!content.starts_with("# HELP quorvane_temperature_celsius ") ||
                last == std::string::npos || !content.ends_with("\n") ||
                content.find('\n', last + tail.size()) != content.size() - 1) {
                ++partial;
            }
            ++reads;
        }
    });
    constexpr int kRecords = 3000;
    for (int i = 0; i < kRecords; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "\n%4.1f C 14:%02d:%02d 12/08/2026", 20 + (i % 50) / 10.0,
                      i / 60 % 60, i % 60);
        exporter.writeInput(line);
        if (i % 30 == 0) {
            // The reader gets its turn however the machine schedules the two.
            const int seen = reads;
            eventually([&] { return reads != seen; });
        }
    }
    exporter.closeInput();
    const auto end = exporter.wait();
    done = true;
    reader.join();
    ASSERT_TRUE(end && end->exited && end->exitCode == 0);
    EXPECT_EQ(partial, 0) << "of " << reads << " reads";
    EXPECT_GT(reads, 100);
    const std::string last = readFile(file).value_or("");
    EXPECT_NE(last.find("\nquorvane_temperature_celsius{sensor=\"attic\"} 24.9\n"),
              std::string::npos)
        << last;
    EXPECT_NE(last.find("\nquorvane_readings_total{sensor=\"attic\"} 3000\n"), std::string::npos)
        << last;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1)
        << "no temporary file left behind";
}

TEST(ExportProgram, AFileThatCannotBeWrittenIsReportedOncePerSpell) {
    const TempDir dir;
    const std::string sub = dir.file("textfiles");
    const std::string file = sub + "/quorvane.prom";
    auto exporter = startExport({"--json", "--textfile", file, "--sensor", "attic"}, true);
    int records = 0;
    auto record = [&] {
        char line[64];
        std::snprintf(line, sizeof line, "\n21.4 C 14:05:%02d 12/08/2026", records++ % 60);
        exporter.writeInput(line);
        const std::size_t expected = static_cast<std::size_t>(records);
        ASSERT_TRUE(exporter.readUntil([&](const std::string& out) {
            return countOf(out, "\n") == expected;
        })) << "the export goes on";
    };
    for (int i = 0; i < 5; ++i) {
        record();
    }
    std::filesystem::create_directory(sub);
    record();
    // The file is rewritten just after the record's line is passed on.
    EXPECT_TRUE(eventually([&file] {
        return readFile(file).value_or("").find("quorvane_readings_total{sensor=\"attic\"} 6\n") !=
               std::string::npos;
    }));
    std::filesystem::remove_all(sub);
    for (int i = 0; i < 5; ++i) {
        record();
    }
    exporter.closeInput();
    const auto end = exporter.wait();
    ASSERT_TRUE(end && end->exited);
    EXPECT_EQ(end->exitCode, 1) << "the last write failed";
    const std::string messages = exporter.errors();
    EXPECT_EQ(
        countOf(messages, "quorvane-export: cannot write " + file + ": No such file or directory"),
        2u)
        << messages;
    EXPECT_EQ(countOf(messages, "written again"), 1u) << messages;
}

// The pid of the exporter's child, the program it runs.
pid_t childOf(pid_t parent) {
    std::ifstream children("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) +
                           "/children");
    pid_t child = 0;
    children >> child;
    return child;
}

// Gone, or dead and waiting for whoever adopted it to reap it.
bool ended(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    return text.empty() || (close != std::string::npos && text.substr(close + 2, 1) == "Z");
}

TEST(ExportProgram, AChildsSignalsAndExitStatusPassThrough) {
    // A shell stands in for the program where only the status matters.
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string out;
    };
    const Case cases[] = {
        {{"--lines", "sh", "-c", "printf '\\n21.4 C 14:05:09 12/08/2026'; exit 3"},
         3,
         "21.4 C 14:05:09 12/08/2026\n"},
        {{"--", "sh", "-c", "kill -TERM $$"}, 128 + SIGTERM, ""},
        {{"--", "/nonexistent/quorvane_unix"}, 127, ""},
    };
    for (const Case& c : cases) {
        const ProgramResult result = runExport(c.arguments);
        SCOPED_TRACE(c.arguments.back());
        EXPECT_EQ(result.status, c.status) << result.err;
        EXPECT_EQ(result.out, c.out);
    }

    // The real program is stopped through the exporter: the signal reaches it, the exporter
    // outlives it and ends with its status.
    for (const int sig : {SIGTERM, SIGINT}) {
        // quorvane_sim on the accelerated clock: its first line comes in a fraction of a second.
        std::vector<std::string> args{"--lines", "--"};
        const std::vector<std::string> sim = simCommandUnderClock();
        args.insert(args.end(), sim.begin(), sim.end());
        auto exporter = startExport(args);
        ASSERT_TRUE(exporter.readUntil(
            [](const std::string& out) { return out.find(" C ") != std::string::npos; }));
        const pid_t program = childOf(exporter.pid());
        const auto end = exporter.stop(sig);
        removeSharedClock(program);
        ASSERT_TRUE(end);
        EXPECT_TRUE(end->exited) << "the exporter itself was killed by signal " << end->signal;
        EXPECT_EQ(end->exitCode, 128 + sig);
        EXPECT_TRUE(exporter.output().ends_with("\n")) << exporter.output();
    }
}

TEST(ExportProgram, BadCommandLinesAreRefused) {
    const TempDir dir;
    const std::string open = writePasswordFile(dir, "open", "pw", 0644);
    const std::string closed = writePasswordFile(dir, "closed", "pw", 0640);
    const std::vector<std::vector<std::string>> bad{
        {"--json", "--lines"},
        {"--textfile"},
        {"--textfile="},
        {"-t"},
        {"--bogus"},
        {"-x"},
        {"--", ""},
        {"--offset", "10.1"},
        {"--offset", "-0.125"},
        {"--offset", "0,4"},
        {"--sensor", ""},
        {"--sensor", "living room"},
        {"--sensor", "a.b"},
        {"--mqtt", "http://127.0.0.1"},
        {"--mqtt", "127.0.0.1"},
        {"--mqtt", "mqtt://"},
        {"--mqtt", "mqtt://host:0"},
        {"--mqtt", "mqtt://host:1883x"},
        {"--mqtt", "mqtt://user:pw@host"},
        {"--mqtt", "mqtt://host/topic"},
        {"--mqtt", "mqtt://host", "--node", "+#/"},
        {"--mqtt", "mqtt://host", "--mqtt-every", "-1"},
        {"--mqtt", "mqtt://host", "--mqtt-every", "10s"},
        {"--mqtt", "mqtt://host", "--ha-prefix", "home/#"},
        {"--mqtt", "mqtt://host", "--mqtt-keepalive", "4"},
        {"--mqtt", "mqtt://host", "--mqtt-keepalive", "30s"},
        {"--mqtt", "mqtt://u@host", "--mqtt-password-file", open},
        {"--mqtt", "mqtt://u@host", "--mqtt-password-file", dir.file("none")},
        {"--mqtt", "mqtt://host", "--mqtt-password-file", closed},
        {"--mqtt", "mqtt://host", "--mqtt-cafile", closed},
        {"--mqtt", "mqtts://host", "--mqtt-cafile", dir.file("none")},
        {"--mqtt-every", "5"},
    };
    for (const auto& args : bad) {
        const ProgramResult result = runExport(args);
        SCOPED_TRACE(args.back());
        EXPECT_EQ(result.status, 2);
        EXPECT_TRUE(result.err.starts_with("quorvane-export: ")) << result.err;
        EXPECT_NE(result.err.find("Try 'quorvane-export --help'"), std::string::npos);
    }
    // Each says what is wrong before anything starts.
    EXPECT_NE(runExport({"--mqtt", "mqtt://u@host", "--mqtt-password-file", open})
                  .err.find("may be read by every user"),
              std::string::npos);
    EXPECT_NE(runExport({"--mqtt", "mqtts://host", "--node", "..."}).err.find("--node"),
              std::string::npos);
    const ProgramResult help = runExport({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.starts_with("Usage: quorvane-export ")) << help.out;
}

// Every prefix and node that would make a topic MQTT refuses is refused at the start, naming the
// option; names such as a systemd instance gives are taken.
TEST(ExportProgram, TopicsMqttCannotCarryAreRefusedAtTheStart) {
    struct Case {
        std::string option;
        std::string value;
        std::string complaint;  // empty: taken
    };
    const std::string longNode(65530, 'n');
    const Case cases[] = {
        {"--ha-prefix", "ha\x01", "bad --ha-prefix 'ha\\x01': MQTT's topics are UTF-8"},
        {"--ha-prefix", "K\374che", "bad --ha-prefix 'K\\xfcche': MQTT's topics are UTF-8"},
        {"--ha-prefix", "home\x7f", "bad --ha-prefix 'home\\x7f'"},
        {"--ha-prefix", "ha+", "bad --ha-prefix 'ha+'"},
        {"--ha-prefix", "", "bad --ha-prefix ''"},
        {"--ha-prefix", std::string(70000, 'h'), "bad --ha-prefix 'hhhh"},
        {"--node", longNode, "bad --node 'nnnn"},
        {"--node", longNode.substr(0, 65500), "' with --ha-prefix 'homeassistant': its topics"},
        {"--node", "freezer", ""},
        {"--node", "living-room", ""},
        {"--node", "cellar_2", ""},
        {"--ha-prefix", "h\xc3\xa4user/ha", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.option + " " + c.value.substr(0, 20));
        // Taken, with its input at an end at once: no broker is needed.
        const ProgramResult result = runProgram(
            {"timeout", "20", kExport, "--mqtt", "mqtt://127.0.0.1:1", c.option, c.value});
        EXPECT_EQ(result.status, c.complaint.empty() ? 0 : 2) << result.err.substr(0, 300);
        if (!c.complaint.empty()) {
            EXPECT_NE(result.err.find(c.complaint), std::string::npos) << result.err.substr(0, 300);
        }
    }
}

// A password or certificate file that is no regular file (a FIFO nobody writes to, a directory,
// a device) is refused at the start, without waiting on it.
TEST(ExportProgram, OnlyRegularFilesAreTakenForPasswordsAndCertificates) {
    const TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& file : {fifo, dir.path().string(), std::string("/dev/null")}) {
        for (const auto& [option, what, url] :
             {std::tuple{"--mqtt-password-file", "password", "mqtt://u@host"},
              std::tuple{"--mqtt-cafile", "certificate", "mqtts://host"}}) {
            SCOPED_TRACE(std::string(option) + " " + file);
            const ProgramResult result =
                runProgram({"timeout", "20", kExport, "--mqtt", url, option, file});
            EXPECT_EQ(result.status, 2);
            EXPECT_NE(result.err.find(std::string("the ") + what + " file " + file +
                                      " is not a regular file"),
                      std::string::npos)
                << result.err;
        }
    }
}

std::string measurement(int n) {
    char line[64];
    std::snprintf(line, sizeof line, "\n%4.1f C %02d:%02d:%02d 12/08/2026", 20 + (n % 100) / 10.0,
                  n / 3600 % 24, n / 60 % 60, n % 60);
    return line;
}

TEST(ExportProgram, AStandardOutputNobodyReadsHoldsUpNeitherTheMetricsNorTheProgram) {
    // Far more than the pipe and the backlog hold: the program's output is still taken at once,
    // the metrics follow it, and the reader who comes back gets the newest lines and a count of
    // the others.
    constexpr int kRecords = 30000;
    const TempDir dir;
    const std::string file = dir.file("quorvane.prom");
    auto exporter = startExport({"--json", "--textfile", file, "--sensor", "attic"}, true);
    std::string input;
    for (int n = 0; n < kRecords; ++n) {
        input += measurement(n);
    }
    std::atomic<bool> written{false};
    std::thread program([&] {
        try {
            exporter.writeInput(input);
            written = true;
        } catch (const std::exception&) {  // the exporter was killed at the end of a failure
        }
    });
    const bool metricsFollow = eventually([&] {
        return readFile(file).value_or("").find("quorvane_readings_total{sensor=\"attic\"} " +
                                                std::to_string(kRecords) + "\n") !=
               std::string::npos;
    });
    EXPECT_TRUE(metricsFollow) << readFile(file).value_or("");
    EXPECT_TRUE(eventually([&] { return written.load(); })) << "the program was held up";
    if (!metricsFollow || !written) {
        exporter.sendSignal(SIGKILL);
    }
    program.join();
    exporter.closeInput();
    const auto end = exporter.wait();
    ASSERT_TRUE(end && end->exited);
    EXPECT_EQ(end->exitCode, 1) << "lines were dropped";
    const std::string out = exporter.output();
    const std::string errors = exporter.errors();
    const std::size_t lines = countOf(out, "\n");
    EXPECT_TRUE(out.ends_with("\"celsius\":29.9}\n")) << "the newest lines are kept";
    // Whole lines are dropped, never a part of one.
    for (std::size_t at = 0, next = 0; at < out.size(); at = next + 1) {
        next = out.find('\n', at);
        ASSERT_NO_THROW(nlohmann::json::parse(out.substr(at, next - at)))
            << out.substr(at, next - at);
    }
    EXPECT_GT(lines, 10000u);
    EXPECT_LT(lines, static_cast<std::size_t>(kRecords));
    EXPECT_EQ(countOf(errors, "standard output is not being read"), 1u) << errors;
    const std::string dropped =
        std::to_string(static_cast<std::size_t>(kRecords) - lines) + " lines";
    EXPECT_NE(errors.find(dropped), std::string::npos) << errors << "\nexpected " << dropped;
}

// Where two long texts part, for a message: the line and what it holds there; empty when the
// texts are the same.
std::string whereTheyPart(const std::string& got, const std::string& expected) {
    const auto [g, e] = std::mismatch(got.begin(), got.end(), expected.begin(), expected.end());
    if (g == got.end() && e == expected.end()) {
        return "";
    }
    return "line " + std::to_string(std::count(expected.begin(), e, '\n') + 1) + " goes on with " +
           testing::PrintToString(std::string(g, std::find(g, got.end(), '\n'))) + ", not " +
           testing::PrintToString(std::string(e, std::find(e, expected.end(), '\n')));
}

// A burst of messages, with a record after every hundredth, of several times what standard
// output and standard error keep for their readers, the program writing as fast as it can: into
// files, and through pipes into readers that keep up, every line arrives once, whole and in
// order, in each format.
TEST(ExportProgram, ABurstReachesReadersThatKeepUpWhole) {
    constexpr int kMessages = 100000;
    std::string input;
    std::string json;
    std::string messages;
    for (int n = 0; n < kMessages; ++n) {
        char message[32];
        std::snprintf(message, sizeof message, "\nmessage %06d", n);
        input += message;
        messages += std::string(message + 1) + "\n";
        if (n % 100 == 99) {
            const int r = n / 100;
            input += measurement(r);
            char object[128];
            std::snprintf(object, sizeof object,
                          "{\"time\":\"2026-12-08T%02d:%02d:%02d+00:00\",\"value\":%.1f,"
                          "\"unit\":\"C\",\"celsius\":%.1f}\n",
                          r / 3600 % 24, r / 60 % 60, r % 60, 20 + (r % 100) / 10.0,
                          20 + (r % 100) / 10.0);
            json += object;
        }
    }
    const TempDir dir;
    writeFile(dir.file("burst"), input);
    struct Case {
        const char* format;
        const char* to;  // where both outputs go
        const std::string& out;
        const std::string& err;
    };
    const std::string lines = input.substr(1) + "\n";
    const std::string none;
    const Case cases[] = {
        {"--lines", ">out 2>err", lines, none},
        {"--lines", "2>err | cat >out", lines, none},
        {"--json", ">out 2>err", json, messages},
        {"--json", "2>&1 >out | cat >err", json, messages},
        {"", ">out 2>err", input, none},
        {"", "2>err | cat >out", input, none},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.format) + " " + c.to);
        const ProgramResult run = runProgram(
            {"sh", "-c", "TZ=UTC0 \"$0\" " + std::string(c.format) + " -- cat burst " + c.to,
             kExport},
            dir.path());
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(whereTheyPart(readFile(dir.file("out")).value_or(""), c.out), "");
        EXPECT_EQ(whereTheyPart(readFile(dir.file("err")).value_or(""), c.err), "");
    }
}

TEST(ExportProgram, AStandardOutputInNonBlockingModeLosesNothing) {
    constexpr int kRecords = 3000;
    const TempDir dir;
    const std::string input = dir.file("input");
    {
        std::ofstream file(input);
        for (int n = 0; n < kRecords; ++n) {
            file << measurement(n);
        }
    }
    std::array<int, 2> pipe{};
    ASSERT_EQ(pipe2(pipe.data(), O_CLOEXEC), 0);
    // The mode belongs to the pipe's end, which the exporter shares.
    fcntl(pipe[1], F_SETFL, O_NONBLOCK);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, input.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], STDOUT_FILENO);
    std::vector<std::string> argv{kExport, "--json"};
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (std::string& arg : argv) {
        args.push_back(arg.data());
    }
    args.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, kExport.c_str(), &actions, nullptr, args.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe[1]);
    // A slow reader: the pipe is full most of the time.
    std::string out;
    std::array<char, 4096> buffer{};
    for (ssize_t n = 0; (n = read(pipe[0], buffer.data(), buffer.size())) != 0;) {
        if (n > 0) {
            out.append(buffer.data(), static_cast<std::size_t>(n));
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    close(pipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(countOf(out, "\n"), static_cast<std::size_t>(kRecords));
    EXPECT_EQ(countOf(out, "\"celsius\":"), static_cast<std::size_t>(kRecords));
}

TEST(ExportProgram, TheProgramNeverOutlivesItsExporter) {
    const TempDir dir;  // where a core dump would land
    // Killed outright, the exporter cannot pass anything on: the kernel ends the program, which
    // here would otherwise sleep for a minute without a line to find its reader gone.
    const std::vector<std::string> sleeper{"sh", "-c",
                                           "printf '\\n21.4 C 14:05:09 12/08/2026'; exec sleep 60"};
    for (const int sig : {SIGHUP, SIGQUIT, SIGUSR1, SIGKILL}) {
        SCOPED_TRACE(strsignal(sig));
        std::vector<std::string> args{"--lines", "--"};
        if (sig == SIGKILL) {
            args.insert(args.end(), sleeper.begin(), sleeper.end());
        } else {
            const std::vector<std::string> sim = simCommandUnderClock();
            args.insert(args.end(), sim.begin(), sim.end());
        }
        ChildProcess exporter({kExport, args, {"TZ=UTC0"}, dir.path(), true});
        ASSERT_TRUE(exporter.readUntil(
            [](const std::string& out) { return out.find(" C ") != std::string::npos; }));
        const pid_t program = childOf(exporter.pid());
        ASSERT_GT(program, 0);
        const auto end = exporter.stop(sig);
        ASSERT_TRUE(end);
        if (sig != SIGKILL) {
            EXPECT_TRUE(end->exited) << "passed on, and the exporter waited for its program";
            EXPECT_EQ(end->exitCode, 128 + sig);
        }
        EXPECT_TRUE(eventually([program] { return ended(program); }, std::chrono::seconds(10)))
            << "the program " << program << " outlived the exporter";
        removeSharedClock(program);
    }
}

TEST(ExportProgram, TheServiceManagerHearsReadinessEveryRecordAndTheStop) {
    const TempDir dir;
    const std::string path = dir.file("notify");
    const int socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    const auto next = [socket]() -> std::string {
        pollfd ready{socket, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(kPatience.count())) != 1) {
            return "(nothing)";
        }
        std::array<char, 4096> message{};
        const ssize_t n = recv(socket, message.data(), message.size(), 0);
        return n > 0 ? std::string(message.data(), static_cast<std::size_t>(n)) : "";
    };
    ChildProcess exporter({kExport, {"--json"}, {"TZ=UTC0", "NOTIFY_SOCKET=" + path}, {}, true});
    EXPECT_TRUE(next().starts_with("READY=1\n"));
    exporter.writeInput("\n*** Starting Temperature measurements ***");
    exporter.writeInput(measurement(7));
    EXPECT_EQ(next(), "WATCHDOG=1\nSTATUS=20.7 C 00:00:07 12/08/2026");
    exporter.writeInput("\nError reading thermometer 00:00:09 12/08/2026");
    EXPECT_EQ(next(), "WATCHDOG=1\nSTATUS=Error reading thermometer 00:00:09 12/08/2026");
    exporter.closeInput();
    EXPECT_EQ(next(), "STOPPING=1");
    const auto end = exporter.wait();
    EXPECT_TRUE(end && end->exited && end->exitCode == 0);
    close(socket);

    // A manager that never reads its socket, with room for a notice or two, holds up nothing.
    const int deaf = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::strncpy(address.sun_path, dir.file("deaf").c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(deaf, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    const int least = 1;
    setsockopt(deaf, SOL_SOCKET, SO_RCVBUF, &least, sizeof least);
    ChildProcess unread(
        {kExport, {"--lines"}, {"TZ=UTC0", "NOTIFY_SOCKET=" + dir.file("deaf")}, {}, true});
    constexpr std::size_t kRecords = 30;
    for (std::size_t n = 0; n < kRecords; ++n) {
        unread.writeInput(measurement(static_cast<int>(n)));
    }
    unread.closeInput();
    EXPECT_TRUE(unread.readUntil([](const std::string& out) {
        return countOf(out, "\n") == kRecords;
    })) << unread.output();
    const auto unreadEnd = unread.wait();
    EXPECT_TRUE(unreadEnd && unreadEnd->exited && unreadEnd->exitCode == 0);
    close(deaf);
}

}  // namespace
