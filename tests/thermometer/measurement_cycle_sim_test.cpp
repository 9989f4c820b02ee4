// One turn of the measurement loop on the simulated thermometer: what reaches standard output
// (at once, without waiting for the stream to be flushed by anyone else), what reaches the log,
// and how long the turn takes on the simulated clock.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "frontend/console.h"
#include "kit/simulated_bus.h"
#include "sim/simulation.h"

namespace {

namespace fs = std::filesystem;

using quorvane::sim::kMicrosPerSecond;
using quorvane::sim::Micros;
using quorvane::testkit::SimulatedBus;

// Points standard output's file descriptor at a file for its lifetime. written() reads what has
// reached the descriptor without flushing the stream, which is what a pipe would have received.
class StdoutToFile {
  public:
    StdoutToFile() {
        std::fflush(stdout);
        file_ = std::tmpfile();
        saved_ = dup(STDOUT_FILENO);
        if (file_ != nullptr && saved_ >= 0) {
            dup2(fileno(file_), STDOUT_FILENO);
        }
    }
    StdoutToFile(const StdoutToFile&) = delete;
    StdoutToFile& operator=(const StdoutToFile&) = delete;
    ~StdoutToFile() {
        std::fflush(stdout);
        if (saved_ >= 0) {
            dup2(saved_, STDOUT_FILENO);
            close(saved_);
        }
        if (file_ != nullptr) {
            std::fclose(file_);
        }
    }
    bool ok() const { return file_ != nullptr && saved_ >= 0; }
    std::string written() const {
        std::string text;
        char chunk[512];
        off_t offset = 0;
        for (ssize_t n; (n = pread(fileno(file_), chunk, sizeof chunk, offset)) > 0; offset += n) {
            text.append(chunk, static_cast<std::size_t>(n));
        }
        return text;
    }

  private:
    std::FILE* file_ = nullptr;
    int saved_ = -1;
};

// "HH:MM:SS mm/dd/YYYY"
bool IsTimeStamp(const std::string& s) {
    const std::string shape = "00:00:00 00/00/0000";
    if (s.size() != shape.size()) {
        return false;
    }
    for (std::size_t i = 0; i < s.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(s[i])) != 0;
        if (shape[i] == '0' ? !digit : s[i] != shape[i]) {
            return false;
        }
    }
    return true;
}

// Each test runs in a directory of its own, since the log lies in the current one.
class MeasurementCycleOnSimulatedBus : public SimulatedBus {
  protected:
    void SetUp() override {
        SimulatedBus::SetUp();
        oldDir_ = fs::current_path();
        std::string pattern = (fs::temp_directory_path() / "quorvane-cycle-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        fs::current_path(dir_);
    }
    void TearDown() override {
        if (!dir_.empty()) {
            fs::current_path(oldDir_);
            fs::remove_all(dir_);
        }
        SimulatedBus::TearDown();
    }
    static bool logExists() { return fs::exists(fs::symlink_status("quorvane.log")); }
    static std::string logText() {
        std::ifstream in("quorvane.log", std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    // Runs one turn with logging due at once; returns what reached standard output.
    std::string turn(int unitIndex) {
        StdoutToFile out;
        EXPECT_TRUE(out.ok());
        std::int64_t lastLogTime = 0;
        MeasurementCycle(unitIndex, 1, &lastLogTime, lineBuffer_);
        return out.written();
    }

    char lineBuffer_[kLineBufferSize] = {};

  private:
    fs::path oldDir_;
    fs::path dir_;
};

TEST_F(MeasurementCycleOnSimulatedBus, GoodCyclePrintsTheLineAtOnceAndLogsIt) {
    const struct {
        int unitIndex;
        const char* value;
    } cases[] = {{0, "-5.0 C "}, {1, "23.0 F "}, {2, "268.1 K "}};
    sim().setTemperature(-5.0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        fs::remove("quorvane.log");
        const Micros sleptBefore = slept();
        const std::string printed = turn(c.unitIndex);
        const std::string head = std::string("\n") + c.value;
        ASSERT_EQ(printed.substr(0, head.size()), head) << printed;
        EXPECT_TRUE(IsTimeStamp(printed.substr(head.size()))) << printed;
        EXPECT_EQ(printed, lineBuffer_);
        EXPECT_EQ(logText(), printed);
        EXPECT_EQ(slept() - sleptBefore, kMicrosPerSecond);  // the conversion, nothing more
    }
}

TEST_F(MeasurementCycleOnSimulatedBus, FailedCyclePrintsTheErrorSleepsOnceAndLogsNothing) {
    const struct {
        const char* name;
        void (*fault)();
        const char* bus;
    } cases[] = {
        // The first cycle after power-on: the port's Select-In, set as Linux leaves it, held SDA
        // low until applyPower released it with SCL high, a stop on the idle bus.
        {"device absent", [] { sim().setDevicePresent(false); }, "P S 9A n P"},
        {"device never acknowledges", [] { sim().setNeverAcknowledge(true); }, "S 9A n P"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim().clearFaults();
        c.fault();
        const std::string before = "\n21.3 C 00:00:00 01/01/2000";
        before.copy(lineBuffer_, before.size());
        const Micros sleptBefore = slept();
        const std::string printed = turn(0);
        const std::string head = "\nError reading thermometer ";
        ASSERT_EQ(printed.substr(0, head.size()), head) << printed;
        EXPECT_TRUE(IsTimeStamp(printed.substr(head.size()))) << printed;
        EXPECT_FALSE(logExists());
        EXPECT_EQ(std::string(lineBuffer_), before) << "no line was made";
        EXPECT_EQ(slept() - sleptBefore, kMicrosPerSecond);
        EXPECT_EQ(bus(), c.bus);
        forget();
    }
}

}  // namespace
