// Running quorvane_sim (or another of the programs) from outside under an accelerated clock, as a
// person runs it, and waiting for what it prints.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "kit/child_process.h"

namespace quorvane::testkit {

// The fake clock's start: every run begins at this local time, a minute of its life passing in
// about a second of real time.
inline constexpr const char* kClockStart = "2026-12-08 10:00:00";
inline constexpr std::int64_t kClockStartSeconds = 1796724000;  // 10:00:00 12/08/2026, as UTC
inline constexpr int kClockRate = 60;

// The FAKETIME setting for a clock that starts at start and runs rate times real time.
std::string clockSetting(const std::string& start, int rate);

// What a run may set beyond the arguments.
struct SimLaunch {
    // When given, the clock is read from that file at every call, so that a test can set it
    // mid-run.
    std::filesystem::path clockFile = {};
    // When given, /bin/sh runs it with the program and its arguments as "$@", so that it can set
    // limits, signal dispositions or redirections before it starts the program.
    std::string shell = {};
    std::string settings = {};  // QUORVANE_SIM; empty: the defaults
    bool keepErrors = false;    // standard error kept for errors(), else the test's own
};

// quorvane_sim, started in dir with arguments, under an accelerated clock.
ChildProcess startSim(const std::filesystem::path& dir, const std::vector<std::string>& arguments,
                      const SimLaunch& launch = {});

// Any other program, started as startSim starts quorvane_sim, with `preload` ahead of the
// clock's library in LD_PRELOAD and `environment` added.
ChildProcess startUnderClock(const std::string& program, const std::filesystem::path& dir,
                             const std::vector<std::string>& arguments, const std::string& preload,
                             const std::vector<std::string>& environment);

// The command line that runs quorvane_sim with arguments under the accelerated clock, for a
// test that hands it to another program to start (quorvane-export runs it after --): only the
// program's clock runs fast, not its starter's.
std::vector<std::string> simCommandUnderClock(const std::vector<std::string>& arguments = {});

// libfaketime shares a program's clock with the program's children through a semaphore and a
// shared memory object named after its pid, and removes them when the program exits, never when
// a signal ends it: this removes them for a program that has ended (the runs above do so
// themselves).
void removeSharedClock(pid_t pid);

// Replaces the clock file's content in one step, so the program never reads half of it.
void writeClockFile(const std::filesystem::path& clockFile, const std::string& setting);

// Reads until at least count measurement lines have arrived.
bool waitForLines(ChildProcess& child, std::size_t count);
// Reads until a measurement line stamped at or after seconds has arrived.
bool waitForTime(ChildProcess& child, std::int64_t seconds);

}  // namespace quorvane::testkit
