// Running quorvane_sim from outside, under an accelerated clock, and reading what it printed.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace quorvane::test {

// A fresh directory under the system's temporary directory, removed with all it holds.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// A measurement line taken apart: "\n" value(%4.1f) ' ' unit ' ' "HH:MM:SS MM/DD/YYYY".
struct MeasurementLine {
    std::string text;  // the whole line, leading newline included
    std::string valueField;
    double value = 0.0;
    char unit = '?';
    std::string timeStamp;
    std::int64_t seconds = 0;  // the time stamp as a count of seconds (its own time zone)
};

// Parses a measurement line; empty when the text is not exactly one.
std::optional<MeasurementLine> parseMeasurementLine(const std::string& text);

// Splits output into its messages, each with its leading newline. Text before the first newline
// comes out as a message of its own (the program prints none).
std::vector<std::string> splitMessages(const std::string& output);

// The measurement lines among the messages of output, in order; the last one only when whole.
std::vector<MeasurementLine> measurementLines(const std::string& output);

// Seconds since the epoch of "HH:MM:SS MM/DD/YYYY", read as UTC so that differences are plain.
std::int64_t secondsOf(const std::string& timeStamp);

// The fake clock's start: every run begins at this local time, a minute of its life passing in
// about a second of real time.
inline constexpr const char* kClockStart = "2026-12-08 10:00:00";
inline constexpr std::int64_t kClockStartSeconds = 1796724000;  // secondsOf("10:00:00 12/08/2026")
inline constexpr int kClockRate = 60;

// The FAKETIME setting for a clock that starts at start and runs rate times real time.
std::string clockSpec(const std::string& start, int rate);

// quorvane_sim, started in dir with arguments, under an accelerated clock. When clockFile is
// given, the clock is read from that file at every call, so that a test can set it mid-run. When
// shell is given, /bin/sh runs it with the program and its arguments as "$@", so that it can set
// limits, signal dispositions or redirections before it starts the program.
std::unique_ptr<ChildProcess> startSim(const std::filesystem::path& dir,
                                       const std::vector<std::string>& arguments,
                                       const std::filesystem::path& clockFile = {},
                                       const std::string& shell = {});

// Replaces the clock file's content in one step, so the program never reads half of it.
void writeClockFile(const std::filesystem::path& clockFile, const std::string& launch);

// Reads until at least count measurement lines have arrived (generous real-time timeout).
bool waitForLines(ChildProcess& child, std::size_t count);
// Reads until a measurement line stamped at or after seconds has arrived.
bool waitForTime(ChildProcess& child, std::int64_t seconds);

// The content of a regular file; empty when there is none (nothing, a directory, a device).
std::optional<std::string> readFile(const std::filesystem::path& file);

inline constexpr std::chrono::milliseconds kPatience{30000};

}  // namespace quorvane::test
