// The thermometer driver's transactions and what each one does on the bus: one table of facts,
// run on the fake port (tests/thermometer/thermometer_test.cpp) and on the simulated one
// (tests/thermometer/thermometer_sim_test.cpp). The rows go in the order in which a chip's state
// can carry from one to the next: at the device's address 5, the configuration written as 0x01
// and the bare command byte as 0x22. A read's out value starts as `initial`, cut to its width,
// and comes back widened beside the status; the writes give 0.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "kit/bus_analyser.h"
#include "kit/cases.h"
#include "thermometer/thermometer.h"

namespace quorvane::testkit {

struct TransactionResult {
    int status;
    std::uint32_t value;
};

struct Transaction {
    const char* name;
    TransactionResult (*call)(std::uint32_t initial);
    // The bus as the analyser writes it (kit/bus_analyser.h) when the device acknowledges every
    // byte it is sent; "Rx" stands for each byte the device sends. The out value of a read is
    // those bytes, the first the most significant.
    const char* bus;
    // Changes of the clock or the data line, each a read-modify-write of one register and a
    // 1 ms wait.
    std::uint64_t lineChanges;
};

inline TransactionResult readOneByte(int (*read)(int, std::uint8_t*), std::uint32_t initial) {
    auto byte = static_cast<std::uint8_t>(initial);
    const int status = read(5, &byte);
    return {status, byte};
}

inline TransactionResult written(int status) {
    return {status, 0};
}

inline constexpr Transaction kTransactions[] = {
    {"ReadCfg", [](std::uint32_t v) { return readOneByte(ReadCfg, v); },
     "S 9A a AC a Sr 9B a Rx n P", 124},
    {"ReadTemperature",
     [](std::uint32_t v) {
         auto t = static_cast<std::uint16_t>(v);
         const int status = ReadTemperature(5, &t);
         return TransactionResult{status, t};
     },
     "S 9A a AA a Sr 9B a Rx Sr 9B a Rx n P", 181},
    {"ReadCounter", [](std::uint32_t v) { return readOneByte(ReadCounter, v); },
     "S 9A a A8 a Sr 9B a Rx n P", 124},
    {"ReadSlope", [](std::uint32_t v) { return readOneByte(ReadSlope, v); },
     "S 9A a A9 a Sr 9B a Rx n P", 124},
    {"WriteCfg", [](std::uint32_t) { return written(WriteCfg(5, 0x01)); }, "S 9A a AC a 01 a P",
     92},
    {"StartConversion", [](std::uint32_t) { return written(StartConversion(5)); }, "S 9A a EE a P",
     64},
    {"WritePort", [](std::uint32_t) { return written(WritePort(5, 0x22)); }, "S 9A a 22 a P", 64},
};

inline const Transaction& transactionNamed(std::string_view name) {
    for (const Transaction& t : kTransactions) {
        if (name == t.name) {
            return t;
        }
    }
    std::fprintf(stderr, "no transaction is named %.*s\n", static_cast<int>(name.size()),
                 name.data());
    std::abort();
}

inline TransactionResult callTransaction(std::string_view name, std::uint32_t initial) {
    return transactionNamed(name).call(initial);
}

inline std::vector<std::string> busTokens(const Transaction& t) {
    std::istringstream in(t.bus);
    std::vector<std::string> tokens;
    for (std::string token; in >> token;) {
        tokens.push_back(token);
    }
    return tokens;
}

// Reads of the data line: one at each start condition (the line checked free), one at each stop
// (the line checked let go), nine for each byte sent (each bit read back, then the acknowledge)
// and eight for each byte received.
inline std::uint64_t dataLineSamples(const Transaction& t) {
    std::uint64_t samples = 0;
    for (const std::string& token : busTokens(t)) {
        if (token == "S" || token == "Sr" || token == "P") {
            samples += 1;
        } else if (token == "a") {
            samples += 9;
        } else if (token == "Rx") {
            samples += 8;
        }
    }
    return samples;
}

// The bus with the bytes the device sent in place of "Rx", in order.
inline std::string busWith(const Transaction& t, const std::vector<std::uint8_t>& received) {
    std::string bus;
    std::size_t next = 0;
    for (const std::string& token : busTokens(t)) {
        bus += bus.empty() ? "" : " ";
        bus += token == "Rx" ? hexByte(received.at(next++)) : token;
    }
    return bus;
}

// The master's side of the bus alone, as the fake port decodes it: the master releases the line
// for every ninth clock and every bit it receives, so those read "n" and "FF".
inline std::string masterSide(const Transaction& t) {
    std::string bus;
    for (const std::string& token : busTokens(t)) {
        bus += bus.empty() ? "" : " ";
        bus += token == "Rx" ? "FF" : token == "a" ? "n" : token;
    }
    return bus;
}

// What a device holds for the reads: its configuration, the two bytes it sends for the
// temperature, its count remain and count per degree.
struct ChipRegisters {
    std::uint8_t config;
    std::uint8_t temperatureFirst;
    std::uint8_t temperatureSecond;
    std::uint8_t countRemain;
    std::uint8_t countPerDegree;
};

// The bytes a device holding `r` sends in a transaction, by the command the transaction names.
inline std::vector<std::uint8_t> deviceAnswer(const Transaction& t, const ChipRegisters& r) {
    const std::vector<std::string> tokens = busTokens(t);
    if (std::find(tokens.begin(), tokens.end(), "Rx") == tokens.end()) {
        return {};
    }
    const std::string& command = tokens.at(3);  // S, the write address, its acknowledge
    if (command == "AA") {
        return {r.temperatureFirst, r.temperatureSecond};
    }
    if (command == "A8") {
        return {r.countRemain};
    }
    if (command == "A9") {
        return {r.countPerDegree};
    }
    return {r.config};
}

// A read's out value: the bytes received, the first the most significant.
inline std::uint32_t valueOf(const std::vector<std::uint8_t>& received) {
    std::uint32_t value = 0;
    for (const std::uint8_t byte : received) {
        value = value << 8U | byte;
    }
    return value;
}

}  // namespace quorvane::testkit
