#include "e2e/sim_run.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace quorvane::test {

namespace {

bool isDigit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// "dd" digits at text[at..at+count).
bool digitsAt(const std::string& text, std::size_t at, std::size_t count) {
    if (at + count > text.size()) {
        return false;
    }
    for (std::size_t i = at; i < at + count; ++i) {
        if (!isDigit(text[i])) {
            return false;
        }
    }
    return true;
}

// "HH:MM:SS MM/DD/YYYY", exactly 19 characters.
bool isTimeStamp(const std::string& t) {
    return t.size() == 19 && digitsAt(t, 0, 2) && t[2] == ':' && digitsAt(t, 3, 2) && t[5] == ':' &&
           digitsAt(t, 6, 2) && t[8] == ' ' && digitsAt(t, 9, 2) && t[11] == '/' &&
           digitsAt(t, 12, 2) && t[14] == '/' && digitsAt(t, 15, 4);
}

// "( |-)?\d+\.\d"
bool isValueField(const std::string& v) {
    std::size_t i = 0;
    if (i < v.size() && (v[i] == ' ' || v[i] == '-')) {
        ++i;
    }
    const std::size_t firstDigit = i;
    while (i < v.size() && isDigit(v[i])) {
        ++i;
    }
    return i > firstDigit && i + 2 == v.size() && v[i] == '.' && isDigit(v[i + 1]);
}

}  // namespace

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quorvane-e2e-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed for " + pattern);
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::optional<MeasurementLine> parseMeasurementLine(const std::string& text) {
    // "\n" value " " unit " " stamp: the stamp is the last 19 characters.
    if (text.size() < 1 + 4 + 3 + 19 || text[0] != '\n') {
        return std::nullopt;
    }
    const std::size_t stampAt = text.size() - 19;
    const std::size_t unitAt = stampAt - 2;
    if (text[stampAt - 1] != ' ' || text[unitAt - 1] != ' ') {
        return std::nullopt;
    }
    MeasurementLine line;
    line.text = text;
    line.valueField = text.substr(1, unitAt - 2);
    line.unit = text[unitAt];
    line.timeStamp = text.substr(stampAt);
    if ((line.unit != 'C' && line.unit != 'F' && line.unit != 'K') ||
        !isValueField(line.valueField) || !isTimeStamp(line.timeStamp)) {
        return std::nullopt;
    }
    line.value = std::strtod(line.valueField.c_str(), nullptr);
    line.seconds = secondsOf(line.timeStamp);
    return line;
}

std::vector<std::string> splitMessages(const std::string& output) {
    std::vector<std::string> messages;
    std::size_t at = 0;
    while (at < output.size()) {
        std::size_t next = output.find('\n', at + 1);
        if (next == std::string::npos) {
            next = output.size();
        }
        messages.push_back(output.substr(at, next - at));
        at = next;
    }
    return messages;
}

std::vector<MeasurementLine> measurementLines(const std::string& output) {
    std::vector<MeasurementLine> lines;
    for (const auto& message : splitMessages(output)) {
        if (auto line = parseMeasurementLine(message)) {
            lines.push_back(*line);
        }
    }
    return lines;
}

std::int64_t secondsOf(const std::string& timeStamp) {
    std::tm fields{};
    std::istringstream in(timeStamp);
    char sep = 0;
    in >> fields.tm_hour >> sep >> fields.tm_min >> sep >> fields.tm_sec >> fields.tm_mon >> sep >>
        fields.tm_mday >> sep >> fields.tm_year;
    fields.tm_mon -= 1;
    fields.tm_year -= 1900;
    return static_cast<std::int64_t>(timegm(&fields));
}

std::string clockSpec(const std::string& start, int rate) {
    return "@" + start + " x" + std::to_string(rate);
}

std::unique_ptr<ChildProcess> startSim(const std::filesystem::path& dir,
                                       const std::vector<std::string>& arguments,
                                       const std::filesystem::path& clockFile,
                                       const std::string& shell) {
    ChildSpec launch;
    launch.program = QUORVANE_SIM_PROGRAM;
    launch.arguments = arguments;
    if (!shell.empty()) {
        launch.program = "/bin/sh";
        launch.arguments = {"-c", shell, "sh", QUORVANE_SIM_PROGRAM};
        launch.arguments.insert(launch.arguments.end(), arguments.begin(), arguments.end());
    }
    launch.workingDirectory = dir.string();
    launch.environment = {
        std::string("LD_PRELOAD=") + QUORVANE_LIBFAKETIME,
        // Only the wall clock runs fast; sleeps shrink by the same rate.
        "FAKETIME_DONT_FAKE_MONOTONIC=1",
        // The time stamps are then the same on every machine.
        "TZ=UTC0",
    };
    if (clockFile.empty()) {
        launch.environment.push_back("FAKETIME=" + clockSpec(kClockStart, kClockRate));
        launch.environment.emplace_back("FAKETIME_TIMESTAMP_FILE");
    } else {
        // FAKETIME would take precedence over the file.
        launch.environment.emplace_back("FAKETIME");
        launch.environment.push_back("FAKETIME_TIMESTAMP_FILE=" + clockFile.string());
        launch.environment.emplace_back("FAKETIME_NO_CACHE=1");
    }
    return std::make_unique<ChildProcess>(launch);
}

void writeClockFile(const std::filesystem::path& clockFile, const std::string& launch) {
    const std::filesystem::path fresh = clockFile.string() + ".new";
    {
        std::ofstream out(fresh);
        out << launch << '\n';
    }
    std::filesystem::rename(fresh, clockFile);
}

bool waitForLines(ChildProcess& child, std::size_t count) {
    return child.readUntil(
        [count](const std::string& out) { return measurementLines(out).size() >= count; },
        kPatience);
}

bool waitForTime(ChildProcess& child, std::int64_t seconds) {
    return child.readUntil(
        [seconds](const std::string& out) {
            const auto lines = measurementLines(out);
            return !lines.empty() && lines.back().seconds >= seconds;
        },
        kPatience);
}

std::optional<std::string> readFile(const std::filesystem::path& file) {
    // Only a regular file: the log may be a directory or a device that never ends.
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error)) {
        return std::nullopt;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace quorvane::test
