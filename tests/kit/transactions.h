// The thermometer driver's transactions as the tests call them, by name, in the order a chip's
// state can carry from one to the next: at the device's address 5, the configuration written as
// 0x01 and the bare command byte as 0x22. A read's out value starts as `initial`, cut to its
// width, and comes back widened beside the status; the writes give 0.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "thermometer/thermometer.h"

namespace quorvane::testkit {

struct TransactionResult {
    int status;
    std::uint32_t value;
};

struct Transaction {
    const char* name;
    TransactionResult (*call)(std::uint32_t initial);
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
    {"ReadCfg", [](std::uint32_t v) { return readOneByte(ReadCfg, v); }},
    {"ReadTemperature",
     [](std::uint32_t v) {
         auto t = static_cast<std::uint16_t>(v);
         const int status = ReadTemperature(5, &t);
         return TransactionResult{status, t};
     }},
    {"ReadCounter", [](std::uint32_t v) { return readOneByte(ReadCounter, v); }},
    {"ReadSlope", [](std::uint32_t v) { return readOneByte(ReadSlope, v); }},
    {"WriteCfg", [](std::uint32_t) { return written(WriteCfg(5, 0x01)); }},
    {"StartConversion", [](std::uint32_t) { return written(StartConversion(5)); }},
    {"WritePort", [](std::uint32_t) { return written(WritePort(5, 0x22)); }},
};

inline TransactionResult callTransaction(std::string_view name, std::uint32_t initial) {
    for (const Transaction& t : kTransactions) {
        if (name == t.name) {
            return t.call(initial);
        }
    }
    std::fprintf(stderr, "no transaction is named %.*s\n", static_cast<int>(name.size()),
                 name.data());
    std::abort();
}

}  // namespace quorvane::testkit
