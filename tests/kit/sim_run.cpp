#include "kit/sim_run.h"

#include <semaphore.h>
#include <sys/mman.h>

#include "kit/shown_line.h"

namespace quorvane::testkit {

namespace {

// The launch of program under the accelerated clock, with `preload` ahead of the clock's library.
ChildSpec launchUnderClock(const std::string& program, const std::filesystem::path& dir,
                           const std::vector<std::string>& arguments, const SimLaunch& launch,
                           const std::string& preload) {
    ChildSpec child{program, arguments};
    if (!launch.shell.empty()) {
        child.program = "/bin/sh";
        child.arguments = {"-c", launch.shell, "sh", program};
        child.arguments.insert(child.arguments.end(), arguments.begin(), arguments.end());
    }
    child.workingDirectory = dir;
    child.keepErrors = launch.keepErrors;
    child.afterEnd = removeSharedClock;
    child.environment = {
        "LD_PRELOAD=" + (preload.empty() ? "" : preload + ":") + QUORVANE_LIBFAKETIME,
        // Only the wall clock runs fast; sleeps shrink by the same rate.
        "FAKETIME_DONT_FAKE_MONOTONIC=1",
        // The time stamps are then the same on every machine.
        "TZ=UTC0",
        // The simulated world is the test's, never one left in the environment.
        launch.settings.empty() ? std::string("QUORVANE_SIM") : "QUORVANE_SIM=" + launch.settings,
    };
    if (launch.clockFile.empty()) {
        child.environment.push_back("FAKETIME=" + clockSetting(kClockStart, kClockRate));
        child.environment.emplace_back("FAKETIME_TIMESTAMP_FILE");
    } else {
        // FAKETIME would take precedence over the file.
        child.environment.emplace_back("FAKETIME");
        child.environment.push_back("FAKETIME_TIMESTAMP_FILE=" + launch.clockFile.string());
        child.environment.emplace_back("FAKETIME_NO_CACHE=1");
    }
    return child;
}

}  // namespace

std::string clockSetting(const std::string& start, int rate) {
    return "@" + start + " x" + std::to_string(rate);
}

ChildProcess startSim(const std::filesystem::path& dir, const std::vector<std::string>& arguments,
                      const SimLaunch& launch) {
    return ChildProcess(launchUnderClock(QUORVANE_SIM_PROGRAM, dir, arguments, launch, ""));
}

std::vector<std::string> simCommandUnderClock(const std::vector<std::string>& arguments) {
    // env takes the names to remove before the settings.
    std::vector<std::string> command{"env"};
    std::vector<std::string> settings;
    for (const std::string& entry :
         launchUnderClock(QUORVANE_SIM_PROGRAM, {}, arguments, {}, "").environment) {
        if (entry.find('=') == std::string::npos) {
            command.insert(command.end(), {"-u", entry});
        } else {
            settings.push_back(entry);
        }
    }
    command.insert(command.end(), settings.begin(), settings.end());
    command.emplace_back(QUORVANE_SIM_PROGRAM);
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

ChildProcess startUnderClock(const std::string& program, const std::filesystem::path& dir,
                             const std::vector<std::string>& arguments, const std::string& preload,
                             const std::vector<std::string>& environment) {
    ChildSpec launch = launchUnderClock(program, dir, arguments, {}, preload);
    launch.environment.insert(launch.environment.end(), environment.begin(), environment.end());
    return ChildProcess(launch);
}

void removeSharedClock(pid_t pid) {
    const std::string id = std::to_string(pid);
    sem_unlink(("/faketime_sem_" + id).c_str());
    shm_unlink(("/faketime_shm_" + id).c_str());
}

void writeClockFile(const std::filesystem::path& clockFile, const std::string& setting) {
    const std::filesystem::path fresh = clockFile.string() + ".new";
    writeFile(fresh, setting + "\n");
    std::filesystem::rename(fresh, clockFile);
}

bool waitForLines(ChildProcess& child, std::size_t count) {
    return child.readUntil(
        [count](const std::string& out) { return measurementLines(out).size() >= count; });
}

bool waitForTime(ChildProcess& child, std::int64_t seconds) {
    return child.readUntil([seconds](const std::string& out) {
        const auto lines = measurementLines(out);
        return !lines.empty() && lines.back().seconds >= seconds;
    });
}

}  // namespace quorvane::testkit
