// quorvane_trace: records the bus waveform of quorvane's measurement cycles as a VCD file. The
// program's own bus and driver code runs against the simulated port, whose clock counts one
// microsecond per port access, so the file shows the real pacing without waiting for it.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "bus/port_io.h"
#include "bus/twowire.h"
#include "sim/simulation.h"
#include "thermometer/thermometer.h"
#include "trace/trace_options.h"
#include "trace/vcd_writer.h"

namespace {

using namespace quorvane;

constexpr std::uint16_t kPortBase = 0x378;
constexpr int kFailure = 1;
constexpr int kBadUsage = 2;

const std::vector<std::string> kWires{"scl", "sda", "sda_master", "sda_device",
                                      "vdd", "a2",  "a1",         "a0"};

// The wires in the order of kWires; the two drivers as the level each alone gives SDA.
std::vector<bool> levels(const sim::LineState& s) {
    return {s.scl, s.sda, !s.sdaMaster, !s.sdaDevice, s.vdd, s.a2, s.a1, s.a0};
}

int fail(const std::string& message) {
    std::cerr << "quorvane_trace: " << message << '\n';
    return kFailure;
}

// Runs the cycles with every line change going to the writer; the number of failed cycles.
int record(const trace::TraceOptions& options, std::ostream& out) {
    sim::Simulation& simulation = sim::simulation();
    simulation.reset();
    simulation.setRealSleep(false);
    simulation.setTemperature(options.celsius);
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

    char comment[160];
    std::snprintf(comment, sizeof comment,
                  "quorvane_trace: %d measurement cycle%s, %s chip at %.2f degrees Celsius",
                  options.cycles, options.cycles == 1 ? "" : "s",
                  options.fresh ? "fresh" : "configured", options.celsius);
    trace::VcdWriter vcd(out, "quorvane", kWires, comment);
    const sim::Micros origin = simulation.clock();
    vcd.sample(0, levels(simulation.lines()));
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

int run(const trace::TraceOptions& options) {
    std::ofstream file;
    std::ostream* out = &std::cout;
    if (options.output != "-") {
        file.open(options.output, std::ios::binary | std::ios::trunc);
        if (!file) {
            return fail("cannot write " + options.output + ": " + std::strerror(errno));
        }
        out = &file;
    }
    const int failed = record(options, *out);
    out->flush();
    if (file.is_open()) {
        file.close();
    }
    if (!*out || (options.output != "-" && file.fail())) {
        return fail("cannot write " + options.output + ": " + std::strerror(errno));
    }
    if (failed != 0) {
        return fail(std::to_string(failed) + " of " + std::to_string(options.cycles) +
                    " cycles failed on the bus; the trace shows where");
    }
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    const auto parsed = trace::parseTraceOptions(argc, argv);
    if (std::holds_alternative<trace::HelpRequested>(parsed)) {
        std::cout << trace::kTraceUsage;
        return 0;
    }
    if (const auto* error = std::get_if<trace::UsageError>(&parsed)) {
        std::cerr << "quorvane_trace: " << error->message << "\nTry 'quorvane_trace --help'.\n";
        return kBadUsage;
    }
    return run(std::get<trace::TraceOptions>(parsed));
}
