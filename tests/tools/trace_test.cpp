// quorvane_trace end to end: the VCD it writes, decoded by sigrok's own I2C decoder, must show
// exactly the transactions the driver makes and the bytes the simulated chip was set to send;
// and the file itself must carry the wires, the wired-AND and the pacing of the real bus.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "kit/child_process.h"
#include "sim/ds1621.h"

namespace {

using namespace quorvane::testkit;
namespace sim = quorvane::sim;

const std::string kTrace = QUORVANE_TRACE_PATH;
constexpr const char* kAnnotations =
    "i2c=address-read:address-write:data-read:data-write:start:repeat-start:ack:nack:stop";

std::string hex(unsigned byte) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X", byte & 0xFFU);
    return text;
}

// sigrok's lines for transactions written in words: S a start, Sr a repeated start, P a stop, W
// and R the address byte for writing and for reading, wXX a byte written (these acknowledged),
// rXX a byte read, N a not-acknowledge.
std::vector<std::string> sigrokLines(const std::string& words) {
    std::vector<std::string> lines;
    std::istringstream in(words);
    for (std::string w; in >> w;) {
        if (w == "W" || w == "R") {  // sigrok names the direction on a line of its own
            lines.insert(lines.end(), {w == "W" ? "Write" : "Read",
                                       w == "W" ? "Address write: 4D" : "Address read: 4D", "ACK"});
        } else if (w[0] == 'w' || w[0] == 'r') {
            lines.push_back((w[0] == 'w' ? "Data write: " : "Data read: ") + w.substr(1));
            if (w[0] == 'w') {
                lines.emplace_back("ACK");
            }
        } else {
            lines.emplace_back(w == "S"    ? "Start"
                               : w == "Sr" ? "Start repeat"
                               : w == "P"  ? "Stop"
                                           : "NACK");
        }
    }
    return lines;
}

// The words of one call of Temperature on a chip whose one-shot bit is clear (fresh) or set.
// `alarms` are the chip's latched high (0x40) and low (0x20) temperature flags.
std::string cycle(bool fresh, const sim::Reading& reading, unsigned alarms) {
    const auto readByte = [](unsigned command, unsigned value) {  // S 9A cmd Sr 9B Rx N P
        return "S W w" + hex(command) + " Sr R r" + hex(value) + " N P ";
    };
    // After the repeated start the chip begins the register again, so both reads of the
    // temperature give the whole-degree byte. The first gets no acknowledge from the master: the
    // ninth clock is the first clock of the repeated start, given with SDA released, so sigrok
    // shows it as a NACK right before the repeated start.
    const std::string high = hex(reading.temperature >> 8U);
    return readByte(0xAC, fresh ? 0x00 : 0x81 | alarms) +  // 0x80: the last conversion is done
           (fresh ? "S W wAC w01 P " : "") + "S W wEE P " + readByte(0xAC, 0x81 | alarms) +
           "S W wAA Sr R r" + high + " N Sr R r" + high + " N P " +
           readByte(0xA8, reading.countRemain) + readByte(0xA9, reading.countPerC) +
           readByte(0xAC, 0x81 | alarms);  // the conversion still done after the reads
}

// What sigrok's I2C decoder makes of the file's scl and sda, one event a line.
std::vector<std::string> decode(const std::string& vcd) {
    const ProgramResult sigrok = runProgram(
        {"sigrok-cli", "-i", vcd, "-I", "vcd", "-P", "i2c:scl=scl:sda=sda", "-A", kAnnotations});
    // sigrok-cli exits 0 even when it cannot find a channel, and then decodes the wrong wires:
    // anything it says on stderr is a failure.
    EXPECT_EQ(sigrok.status, 0);
    EXPECT_EQ(sigrok.err, "");
    std::vector<std::string> events;
    std::istringstream lines(sigrok.out);
    std::string line;
    while (std::getline(lines, line)) {
        const std::string prefix = "i2c-1: ";
        EXPECT_TRUE(line.starts_with(prefix)) << line;
        events.push_back(line.substr(prefix.size()));
    }
    return events;
}

struct DecodeCase {
    const char* name;
    const char* args;  // the options, separated by spaces
    double celsius;
    int cycles;
    bool fresh;
    unsigned alarms;
    std::string settings = {};  // QUORVANE_SIM
    std::uint8_t countPerC = 16;
};

// Printed by name: GoogleTest's fallback dumps the raw bytes, padding included.
void PrintTo(const DecodeCase& c, std::ostream* os) {
    *os << c.name;
}

class TraceDecode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(TraceDecode, SigrokSeesTheDriversTransactionsAndTheChipsBytes) {
    if (!onPath("sigrok-cli")) {
        GTEST_SKIP() << "sigrok-cli is not installed";
    }
    const DecodeCase& c = GetParam();
    const TempDir dir;
    std::vector<std::string> argv{"env", "QUORVANE_SIM=" + c.settings, kTrace, "-o",
                                  dir.file("bus.vcd")};
    std::istringstream args(c.args);
    for (std::string arg; args >> arg;) {
        argv.push_back(arg);
    }
    const ProgramResult trace = runProgram(argv);
    ASSERT_EQ(trace.status, 0) << trace.err;
    EXPECT_EQ(trace.out, "");
    EXPECT_EQ(trace.err, "");

    std::string expected;
    for (int i = 0; i < c.cycles; ++i) {
        expected += cycle(c.fresh && i == 0, sim::readingFor(c.celsius, c.countPerC), c.alarms);
    }
    EXPECT_EQ(decode(dir.file("bus.vcd")), sigrokLines(expected));
}

const DecodeCase kCycles[] = {
    {"FreshChipDefaults", "", 25.0, 1, true, 0},
    {"ConfiguredBelowZero", "--configured -t -10.5", -10.5, 1, false, 0},
    {"FreshThenSteady", "--fresh -n 2 -t 21.3", 21.3, 2, true, 0},
    {"ConfiguredTopOfRange", "--configured --temperature=125", 125.0, 1, false, 0x40},
    {"SettingsGiveTemperatureAndCount", "--configured", -10.5, 1, false, 0,
     "temperature=-10.5;count_per_c=100", 100},
    {"OptionWinsOverTheSettingsTemperature", "-t 30", 30.0, 1, true, 0,
     "temperature=-10.5;count_per_c=20", 20},
};
INSTANTIATE_TEST_SUITE_P(Cycles, TraceDecode, ::testing::ValuesIn(kCycles),
                         [](const ::testing::TestParamInfo<DecodeCase>& param) {
                             return std::string(param.param.name);
                         });

// The file as a viewer reads it: wire names, then each wire's level over time.
struct Vcd {
    std::string timescale;
    std::vector<std::string> wires;
    // Per time, every wire's level after the changes at that time.
    std::vector<std::pair<std::int64_t, std::map<std::string, bool>>> states;
    bool repeatedValue = false;  // a change line that did not change anything
};

Vcd readVcd(const std::string& text) {
    Vcd vcd;
    std::map<std::string, std::string> names;  // identifier -> wire
    std::map<std::string, bool> levels;
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        if (word == "$timescale") {
            words >> vcd.timescale;
        } else if (word == "$var") {
            std::string type, width, id, name;
            words >> type >> width >> id >> name;
            names[id] = name;
            vcd.wires.push_back(name);
        } else if (word[0] == '#') {
            vcd.states.emplace_back(std::stoll(word.substr(1)), levels);
        } else if ((word[0] == '0' || word[0] == '1') && names.contains(word.substr(1))) {
            const std::string& wire = names[word.substr(1)];
            const bool level = word[0] == '1';
            vcd.repeatedValue =
                vcd.repeatedValue || (levels.contains(wire) && levels[wire] == level);
            levels[wire] = level;
            vcd.states.back().second = levels;
        }
    }
    return vcd;
}

TEST(TraceFile, WiresWiredAndAndTheRealPacing) {
    const TempDir dir;
    const ProgramResult trace = runProgram({kTrace, "-o", dir.file("bus.vcd")});
    ASSERT_EQ(trace.status, 0) << trace.err;
    const Vcd vcd = readVcd(readFile(dir.file("bus.vcd")).value_or(""));
    EXPECT_EQ(vcd.timescale, "1us");
    EXPECT_EQ(vcd.wires, (std::vector<std::string>{"scl", "sda", "sda_master", "sda_device", "vdd",
                                                   "a2", "a1", "a0"}));
    EXPECT_FALSE(vcd.repeatedValue);
    ASSERT_GT(vcd.states.size(), 100U);

    // Start and stop conditions: SDA moving while SCL stays high.
    std::vector<std::int64_t> starts;
    std::vector<std::int64_t> stops;
    std::int64_t lastClockEdge = -1;
    std::int64_t shortestClockGap = 1'000'000'000;
    for (std::size_t i = 0; i < vcd.states.size(); ++i) {
        const auto& [time, now] = vcd.states[i];
        EXPECT_EQ(now.at("sda"), now.at("sda_master") && now.at("sda_device")) << "at " << time;
        if (i == 0) {
            continue;
        }
        const auto& before = vcd.states[i - 1].second;
        if (before.at("scl") && now.at("scl") && before.at("sda") != now.at("sda")) {
            (now.at("sda") ? stops : starts).push_back(time);
        }
        if (before.at("scl") != now.at("scl")) {
            if (lastClockEdge >= 0) {
                shortestClockGap = std::min(shortestClockGap, time - lastClockEdge);
            }
            lastClockEdge = time;
        }
    }
    // Every line change is followed by a millisecond of port reads, 1 us each.
    EXPECT_GE(shortestClockGap, 1000);
    EXPECT_LT(shortestClockGap, 1100);
    // The port powers on with Select-In set, as Linux leaves it, holding SDA low until applyPower
    // releases it with SCL high: a stop on the idle bus before the first transaction.
    ASSERT_FALSE(stops.empty());
    ASSERT_TRUE(starts.empty() || stops.front() < starts.front());
    stops.erase(stops.begin());
    // Fresh chip: ReadCfg, WriteCfg, StartConversion, ReadCfg, ReadTemperature, ReadCounter,
    // ReadSlope, ReadCfg; the reads of one byte have one repeated start, the temperature two.
    ASSERT_EQ(stops.size(), 8U);
    ASSERT_EQ(starts.size(), 8U + 5U + 2U);
    // Start of each transaction: the first start after the previous stop.
    std::vector<std::int64_t> firstStarts;
    std::size_t s = 0;
    for (const std::int64_t stop : stops) {
        ASSERT_LT(s, starts.size());
        firstStarts.push_back(starts[s]);
        while (s < starts.size() && starts[s] < stop) {
            ++s;
        }
    }
    const std::int64_t afterConfigWrite = firstStarts[2] - stops[1];
    const std::int64_t afterConversionStart = firstStarts[3] - stops[2];
    EXPECT_GE(afterConfigWrite, 100'000);  // the chip stores the one-shot bit
    EXPECT_LT(afterConfigWrite, 110'000);
    EXPECT_GE(afterConversionStart, 1'000'000);  // the one-second conversion
    EXPECT_LT(afterConversionStart, 1'010'000);
}

TEST(TraceCommandLine, BadValuesAreRefusedWithAMessage) {
    const std::vector<std::vector<std::string>> bad{
        {"-n"},        {"-n", "0"},     {"-n", "1001"},  {"-n", "2x"},  {"-n", "abc"},
        {"-n", ""},    {"-n", "1.5"},   {"--cycles=-1"}, {"-t"},        {"-t", "hot"},
        {"-t", "126"}, {"-t", "-55.5"}, {"-t", "20C"},   {"-t", "nan"}, {"-t", "1e2"},
        {"-o"},        {"-o", ""},      {"--bogus"},     {"-x"},        {"file.vcd"},
    };
    const TempDir dir;
    for (const auto& args : bad) {
        std::vector<std::string> argv{kTrace};
        argv.insert(argv.end(), args.begin(), args.end());
        const ProgramResult result = runProgram(argv, dir.path());
        SCOPED_TRACE(args.empty() ? "" : args.front() + " " + args.back());
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.out, "");
        EXPECT_TRUE(result.err.starts_with("quorvane_trace: ")) << result.err;
        EXPECT_NE(result.err.find("--help"), std::string::npos) << result.err;
    }
    // Nothing was written for any of them.
    EXPECT_EQ(runProgram({"ls", "-A", dir.path().string()}).out, "");
}

// The settings' time 0 is the file's: with --configured, after the cycle that sets the chip up.
TEST(TraceSettings, AFaultWindowCountsFromTheStartOfTheRecording) {
    const TempDir dir;
    // The second cycle begins at about 1.87 s; its conversion runs from about 2.06 s to 3.06 s.
    const ProgramResult result = runProgram({"env", "QUORVANE_SIM=fault=unplugged@2-", kTrace,
                                             "--configured", "-n", "2", "-o", dir.file("bus.vcd")});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              "quorvane_trace: 1 of 2 cycles failed on the bus; the trace shows where\n");
}

TEST(TraceSettings, ABadSettingIsRefusedBeforeAnythingIsWritten) {
    const TempDir dir;
    const ProgramResult result =
        runProgram({"env", "QUORVANE_SIM=temperature=20;count_per_c=256", kTrace}, dir.path());
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err,
              "quorvane_trace: QUORVANE_SIM: bad setting 'count_per_c=256': give a whole number "
              "from 0 to 255\n");
    EXPECT_EQ(runProgram({"ls", "-A", dir.path().string()}).out, "");
}

TEST(TraceCommandLine, AFileThatCannotBeWrittenFails) {
    const TempDir dir;
    for (const std::string& path : {dir.file("missing/bus.vcd"), dir.path().string()}) {
        const ProgramResult result = runProgram({kTrace, "-o", path});
        EXPECT_EQ(result.status, 1) << path;
        EXPECT_NE(result.err.find("cannot write " + path), std::string::npos) << result.err;
    }
    // A device is no trace file: /dev/full is refused as it opens.
    const ProgramResult full = runProgram({kTrace, "-o", "/dev/full"});
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.err, "quorvane_trace: cannot write /dev/full: it is not a regular file\n");
    // Standard output on /dev/full takes nothing: the failure shows at the write.
    const ProgramResult fullOut = runProgram({"sh", "-c", "exec \"$0\" -o - >/dev/full", kTrace});
    EXPECT_EQ(fullOut.status, 1);
    EXPECT_NE(fullOut.err.find("cannot write -"), std::string::npos) << fullOut.err;
}

// quorvane_trace may run as root in a directory others can write. A symbolic link planted at the
// output name is never followed, a FIFO is neither written nor waited on, and a file with a
// second name is not emptied; a plain file is replaced by the trace.
TEST(TraceCommandLine, APlantedLinkOrASecondNameIsRefused) {
    const TempDir dir;
    writeFile(dir.file("precious"), "root's own");
    std::filesystem::create_symlink("precious", dir.file("quorvane.vcd"));
    std::filesystem::create_symlink("missing", dir.file("dangling.vcd"));
    std::filesystem::create_hard_link(dir.file("precious"), dir.file("linked.vcd"));
    ASSERT_EQ(runProgram({"mkfifo", dir.file("fifo.vcd")}).status, 0);
    const struct {
        std::vector<std::string> args;
        const char* why;
    } cases[] = {
        {{}, "quorvane.vcd: it is a symbolic link"},
        {{"-o", "dangling.vcd"}, "dangling.vcd: it is a symbolic link"},
        {{"-o", "linked.vcd"}, "linked.vcd: it has another name (a hard link)"},
        {{"-o", "fifo.vcd"}, "fifo.vcd: it is not a regular file"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{"timeout", "20", kTrace};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const ProgramResult result = runProgram(argv, dir.path());
        EXPECT_EQ(result.status, 1) << c.why;
        EXPECT_EQ(result.err, std::string("quorvane_trace: cannot write ") + c.why + "\n");
    }
    EXPECT_EQ(readFile(dir.file("precious")), "root's own");
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));

    writeFile(dir.file("old.vcd"), std::string(100000, '\x01'));
    const ProgramResult result = runProgram({kTrace, "-o", "old.vcd"}, dir.path());
    EXPECT_EQ(result.status, 0) << result.err;
    const std::string trace = readFile(dir.file("old.vcd")).value_or("");
    EXPECT_TRUE(trace.starts_with("$comment")) << trace.substr(0, 40);
    EXPECT_EQ(trace.find('\x01'), std::string::npos) << "the old content is gone";
}

TEST(TraceCommandLine, DashWritesTheTraceToStandardOutput) {
    const ProgramResult result = runProgram({kTrace, "-o", "-", "--configured"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(result.out.starts_with("$comment")) << result.out.substr(0, 40);
    EXPECT_EQ(readVcd(result.out).wires.size(), 8U);
}

}  // namespace
