#include "trace/trace_options.h"

#include "numbers/numbers.h"

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

namespace {

// The long options without a letter of their own.
constexpr int kFresh = 256;
constexpr int kConfigured = 257;

}  // namespace

tools::CommandLine<TraceOptions> parseTraceOptions(int argc, char* argv[]) {
    TraceOptions options;
    tools::OptionReader reader(argc, argv, tools::Words::InOrder,
                               {{"output", 'o', true},
                                {"cycles", 'n', true},
                                {"temperature", 't', true},
                                {"fresh", kFresh, false},
                                {"configured", kConfigured, false}});
    for (int c = reader.next(); c != tools::OptionReader::kEnd; c = reader.next()) {
        const std::string_view value = reader.value();
        switch (c) {
            case 'h':
                return tools::HelpRequested{};
            case kFresh:
            case kConfigured:
                options.fresh = c == kFresh;
                break;
            case 'o':
                if (value.empty()) {
                    return tools::UsageError{"the output file name is empty"};
                }
                options.output = std::string(value);
                break;
            case 'n': {
                const auto n = numbers::parseInteger(value, 1, kMaxCycles);
                if (!n) {
                    return tools::UsageError{"bad number of cycles '" + std::string(value) +
                                             "': give a whole number from 1 to 1000"};
                }
                options.cycles = static_cast<int>(*n);
                break;
            }
            case 't': {
                const auto t = numbers::parseDecimal(value, kMinCelsius, kMaxCelsius);
                if (!t) {
                    return tools::UsageError{
                        "bad temperature '" + std::string(value) +
                        "': give degrees Celsius from -55 to 125, such as 21.5"};
                }
                options.celsius = *t;
                break;
            }
            default:  // an unknown option, a missing value, or a word that is no option at all
                return reader.error(c);
        }
    }
    // Nothing may follow: the tool takes no file names.
    if (reader.endedByDashes()) {
        return tools::UsageError{"unknown option -- (see --help)"};
    }
    return options;
}

}  // namespace quorvane::trace
