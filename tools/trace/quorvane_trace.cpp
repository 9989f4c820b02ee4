// quorvane_trace: records the bus waveform of quorvane's measurement cycles as a VCD file. The
// program's own bus and driver code runs against the simulated port, whose clock counts one
// microsecond per port access, so the file shows the real pacing without waiting for it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ext/stdio_filebuf.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "bus/port_io.h"
#include "bus/twowire.h"
#include "sim/simulation.h"
#include "sim/world.h"
#include "thermometer/thermometer.h"
#include "trace/trace_options.h"
#include "trace/vcd_writer.h"

namespace {

using namespace quorvane;

constexpr std::uint16_t kPortBase = 0x378;
constexpr const char* kProgram = "quorvane_trace";

const std::vector<std::string> kWires{"scl", "sda", "sda_master", "sda_device",
                                      "vdd", "a2",  "a1",         "a0"};

// The wires in the order of kWires. sda_master and sda_device are levels, not pulls: the level
// each side alone gives SDA, low while it pulls.
std::vector<bool> levels(const sim::LineState& s) {
    const bool sdaMasterLevel = !s.masterPullsSdaLow;
    const bool sdaDeviceLevel = !s.devicePullsSdaLow;
    return {s.scl, s.sda, sdaMasterLevel, sdaDeviceLevel, s.vdd, s.a2, s.a1, s.a0};
}

// What the file's comment says of the run: the cycles, the chip and the settings.
std::string describe(const trace::TraceOptions& options, const sim::World& world) {
    char text[160];
    const char* chip = options.fresh ? "fresh" : "configured";
    const char* s = options.cycles == 1 ? "" : "s";
    if (!options.celsius && world.temperature && world.temperature->period != 0) {
        std::snprintf(text, sizeof text, "quorvane_trace: %d measurement cycle%s, %s chip",
                      options.cycles, s, chip);
    } else {
        const double celsius = options.celsius     ? *options.celsius
                               : world.temperature ? world.temperature->first
                                                   : trace::kDefaultCelsius;
        std::snprintf(text, sizeof text,
                      "quorvane_trace: %d measurement cycle%s, %s chip at %.2f degrees Celsius",
                      options.cycles, s, chip, celsius);
    }
    std::string comment = text;
    // The settings were read and found good, so they hold nothing a VCD comment cannot.
    const char* settings = std::getenv(sim::kWorldVariable);
    if (settings != nullptr && *settings != '\0') {
        comment += std::string("; ") + sim::kWorldVariable + "=" + settings;
    }
    return comment;
}

// Runs the cycles with every line change going to the writer; the number of failed cycles.
int record(const trace::TraceOptions& options, const sim::World& world, std::ostream& out) {
    sim::Simulation& simulation = sim::simulation();
    simulation.reset();
    simulation.setRealSleep(false);
    simulation.setTemperature(options.celsius.value_or(trace::kDefaultCelsius));
    if (RequestPortAccess(kPortBase, 3, 1) != 0) {
        return options.cycles;
    }
    // As the program starts: a port left turned around would neither power nor clock the chip.
    port = kPortBase;
    driveDataLines();
    std::int16_t tenths = 0;
    if (!options.fresh) {
        // The cycle that stores the one-shot bit, left out of the recording.
        static_cast<void>(Temperature(kPortBase, &tenths));
    }
    // The settings count from the start of the recording; -t wins over their temperature.
    const sim::Micros origin = simulation.clock();
    sim::applyWorld(world, simulation, origin);
    if (options.celsius) {
        simulation.setTemperature(*options.celsius);
    }

    trace::VcdWriter vcd(out, "quorvane", kWires, describe(options, world));
    vcd.sample(0, levels(simulation.lineState()));
    simulation.setLineObserver(
        [&](const sim::LineState& s) { vcd.sample(s.time - origin, levels(s)); });
    int failed = 0;
    for (int cycle = 0; cycle < options.cycles; ++cycle) {
        if (Temperature(kPortBase, &tenths) != 0) {
            ++failed;
        }
    }
    simulation.setLineObserver(nullptr);
    vcd.finish(simulation.clock() - origin);
    return failed;
}

// Opens the named output for writing, emptied, or gives the reason it will not. Tracing may run
// as root in a directory that others can write, so, as with the log, a symbolic link planted at
// the name is never followed, a FIFO or a device of that name is never written to nor waited
// on, and a file with a second name (a hard link to a file of someone else's) is not emptied.
int openOutput(const std::string& path, std::string* reason) {
    const int fd =
        open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        // A FIFO nobody reads, or a device with nothing behind it, refuses a write-only open
        // that will not wait.
        *reason = errno == ELOOP   ? "it is a symbolic link"
                  : errno == ENXIO ? "it is not a regular file"
                                   : std::strerror(errno);
        return -1;
    }
    struct stat status {};
    const char* refused = nullptr;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        refused = "it is not a regular file";
    } else if (status.st_nlink != 1) {
        refused = "it has another name (a hard link)";
    } else if (ftruncate(fd, 0) != 0) {
        refused = std::strerror(errno);
    }
    if (refused != nullptr) {
        *reason = refused;
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

int run(const trace::TraceOptions& options, const sim::World& world) {
    std::optional<__gnu_cxx::stdio_filebuf<char>> fileBuffer;
    std::optional<std::ostream> file;
    std::ostream* out = &std::cout;
    if (options.output != "-") {
        std::string reason;
        const int fd = openOutput(options.output, &reason);
        if (fd < 0) {
            return tools::reportFailure(kProgram, "cannot write " + options.output + ": " + reason);
        }
        fileBuffer.emplace(fd, std::ios::out);
        file.emplace(&*fileBuffer);
        out = &*file;
    }
    const int failed = record(options, world, *out);
    out->flush();
    if (fileBuffer && fileBuffer->close() == nullptr) {
        out->setstate(std::ios::failbit);
    }
    if (!*out) {
        return tools::reportFailure(kProgram,
                                    "cannot write " + options.output + ": " + std::strerror(errno));
    }
    if (failed != 0) {
        return tools::reportFailure(
            kProgram, std::to_string(failed) + " of " + std::to_string(options.cycles) +
                          " cycles failed on the bus; the trace shows where");
    }
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    // The trace sets the simulation's scene itself: a bad setting ends it here, with its message,
    // before the file is opened.
    return tools::toolMain(
        kProgram, trace::kTraceUsage, argc, argv, trace::parseTraceOptions,
        [](const trace::TraceOptions& options) { return run(options, sim::requireWorld()); });
}
