#include "trace/trace_options.h"

#include "common/arguments.h"
#include "common/numbers.h"

namespace quorvane::trace {

const char* const kTraceUsage =
    "Usage: quorvane_trace [OPTION]...\n"
    "Run measurement cycles of quorvane on the simulated port and thermometer and write the bus\n"
    "waveform as a VCD file (1 us per unit) for PulseView, GTKWave or sigrok-cli.\n"
    "\n"
    "  -o, --output FILE       VCD file to write (default quorvane.vcd; - for standard output)\n"
    "  -n, --cycles N          measurement cycles to record, 1 to 1000 (default 1)\n"
    "  -t, --temperature C     true temperature of the chip in Celsius, -55 to 125 (default 25,\n"
    "                          or the temperature of QUORVANE_SIM)\n"
    "      --fresh             a chip with the one-shot bit clear, as from the factory: the\n"
    "                          first cycle writes the configuration (default)\n"
    "      --configured        a chip already set up by an earlier run: every cycle is the\n"
    "                          steady one\n"
    "  -h, --help              show this help and exit\n"
    "\n"
    "Wires: scl, sda, sda_master and sda_device (the level each side alone gives SDA: 0 while\n"
    "it pulls the line low), vdd, a2, a1, a0.\n"
    "The settings of QUORVANE_SIM (temperature, count_per_c, fault; see quorvane_sim(1)) apply\n"
    "from the start of the recording, which is time 0 of the file; -t wins over its temperature.\n"
    "Exit status: 0 on success, 1 when the file could not be written or a cycle failed,\n"
    "2 for a bad command line or a bad setting of QUORVANE_SIM.\n";

std::variant<TraceOptions, HelpRequested, UsageError> parseTraceOptions(int argc, char* argv[]) {
    TraceOptions options;
    tools::Arguments args(argc, argv);
    while (!args.done()) {
        const std::string_view option = args.nextOption();
        if (option == "-h" || option == "--help") {
            return HelpRequested{};
        }
        if (option == "--fresh" || option == "--configured") {
            options.fresh = option == "--fresh";
            continue;
        }
        const bool output = option == "-o" || option == "--output";
        const bool cycles = option == "-n" || option == "--cycles";
        const bool temperature = option == "-t" || option == "--temperature";
        if (!output && !cycles && !temperature) {
            return UsageError{"unknown option " + std::string(option) + " (see --help)"};
        }
        const auto value = args.value();
        if (!value) {
            return UsageError{"option " + std::string(option) + " needs a value"};
        }
        if (output) {
            if (value->empty()) {
                return UsageError{"the output file name is empty"};
            }
            options.output = std::string(*value);
        } else if (cycles) {
            const auto n = tools::parseInteger(*value, 1, kMaxCycles);
            if (!n) {
                return UsageError{"bad number of cycles '" + std::string(*value) +
                                  "': give a whole number from 1 to 1000"};
            }
            options.cycles = static_cast<int>(*n);
        } else {
            const auto t = tools::parseDecimal(*value, kMinCelsius, kMaxCelsius);
            if (!t) {
                return UsageError{"bad temperature '" + std::string(*value) +
                                  "': give degrees Celsius from -55 to 125, such as 21.5"};
            }
            options.celsius = *t;
        }
    }
    return options;
}

}  // namespace quorvane::trace
