// The adapter's schematic in docs/ against the line table the program implements: every
// connection it draws between the 25-pin connector and the chip is one the table implies, with
// the level turned over exactly where the table and the port together require it, and none is
// missing.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <tuple>
#include <utility>

#include "kit/files.h"
#include "sim/wiring.h"

namespace quorvane::sim {
namespace {

// A connection: the connector's pin, the chip's pin, and whether the adapter inverts between.
using Connection = std::tuple<std::string, int, bool>;

// The connector pin of a register bit, and whether the port itself inverts it: the PC parallel
// port's layout, independent of any adapter.
std::pair<std::string, bool> connectorPin(PortRegister reg, int bit) {
    switch (reg) {
        case PortRegister::Data:
            return {std::to_string(2 + bit), false};
        case PortRegister::Status: {
            static const std::map<int, int> kStatusPins{
                {3, 15}, {4, 13}, {5, 12}, {6, 10}, {7, 11}};
            return {std::to_string(kStatusPins.at(bit)), bit == 7};
        }
        case PortRegister::Control: {
            static const std::map<int, int> kControlPins{{0, 1}, {1, 14}, {2, 16}, {3, 17}};
            return {std::to_string(kControlPins.at(bit)), bit != 2};
        }
    }
    return {"", false};
}

// The DS1621's pins.
int chipPin(Signal signal) {
    switch (signal) {
        case Signal::Scl:
            return 2;
        case Signal::SdaDrive:
        case Signal::SdaSense:
            return 1;
        case Signal::Vdd:
            return 8;
        case Signal::A2:
            return 5;
        case Signal::A1:
            return 6;
        case Signal::A0:
            return 7;
    }
    return 0;
}

std::set<Connection> fromWiringTable() {
    std::set<Connection> connections;
    for (const Wire& row : kAdapterWiring) {
        for (int bit = 0; bit < 8; ++bit) {
            if ((row.mask >> bit & 1) != 0) {
                const auto [pin, portInverts] = connectorPin(row.reg, bit);
                // The register's sense is the port's and the adapter's together.
                const bool adapterInverts = (row.sense == Sense::Inverted) != portInverts;
                connections.emplace(pin, chipPin(row.signal), adapterInverts);
            }
        }
    }
    return connections;
}

TEST(AdapterSchematic, DrawsExactlyTheConnectionsOfTheLineTable) {
    const std::string svg = testkit::readFile(QUORVANE_SCHEMATIC_PATH).value_or("");
    ASSERT_FALSE(svg.empty()) << QUORVANE_SCHEMATIC_PATH;
    const std::regex group(
        "<g data-port-pin=\"([0-9-]+)\" data-chip-pin=\"([0-9])\" data-adapter=\"([a-z]+)\">");
    std::set<Connection> drawn;
    bool grounded = false;
    for (std::sregex_iterator it(svg.begin(), svg.end(), group), end; it != end; ++it) {
        const std::string adapter = (*it)[3];
        ASSERT_TRUE(adapter == "direct" || adapter == "diode" || adapter == "inverter") << adapter;
        const std::string pin = (*it)[1];
        const int chip = std::stoi((*it)[2]);
        if (pin == "18-25") {
            grounded = chip == 4 && adapter == "direct";
            continue;
        }
        EXPECT_TRUE(drawn.emplace(pin, chip, adapter == "inverter").second) << "twice: " << pin;
    }
    EXPECT_EQ(drawn, fromWiringTable());
    EXPECT_TRUE(grounded) << "the chip's ground (pin 4) to the connector's pins 18-25";
    // The rows that the program's bus code relies on, spelled out: a wrong table would move them.
    EXPECT_TRUE(drawn.count({"9", 2, false}));   // D7 is the clock
    EXPECT_TRUE(drawn.count({"17", 1, false}));  // Select-In low pulls SDA low
    EXPECT_TRUE(drawn.count({"13", 1, true}));   // Select reads SDA turned over
}

}  // namespace
}  // namespace quorvane::sim
