// The world the simulated thermometer lives in, set from outside the program: the environment
// variable QUORVANE_SIM holds settings separated by ';', each name=value:
//   temperature=T          a fixed true temperature, degrees Celsius from -55 to 125
//   temperature=A..B/P     from A to B and back every P seconds (a sine, starting at A)
//   count_per_c=N          the chip's count per degree, 0 to 255
//   fault=KIND@FROM-TO     a fault from FROM to TO seconds after the start (TO left out: for
//                          ever; "@FROM-TO" left out: from the start, for ever); several allowed
// A later temperature or count_per_c replaces an earlier one. Only the simulator reads it; the
// program's own layers never see it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "sim/simulation.h"

namespace quorvane::sim {

inline constexpr const char* kWorldVariable = "QUORVANE_SIM";

// A true temperature that goes from `first` to `second` and back every `period`; fixed when the
// period is 0.
struct TemperatureSetting {
    double first = 25.0;
    double second = 25.0;
    Micros period = 0;
    friend bool operator==(const TemperatureSetting&, const TemperatureSetting&) = default;
};

struct World {
    std::optional<TemperatureSetting> temperature;  // none: whatever the simulation already has
    std::optional<std::uint8_t> countPerC;
    std::vector<FaultWindow> faults;  // times from the start of the world
    friend bool operator==(const World&, const World&) = default;
};

// What is wrong with a setting, naming it and saying what is allowed (without the program's
// name).
struct WorldError {
    std::string message;
};

// The settings of `text`; empty text gives the defaults.
std::variant<World, WorldError> parseWorld(std::string_view text);

// The settings of QUORVANE_SIM as they are now; an unset variable gives the defaults.
std::variant<World, WorldError> worldFromEnvironment();

// For a program linked with the simulated port: the settings of QUORVANE_SIM, or, when they are
// bad, their message on standard error and exit status 2.
World requireWorld();

// The temperature the setting gives at `t` after the start.
TemperatureProfile profileOf(const TemperatureSetting& setting);

// Sets what the world says on `sim` and leaves the rest as it is; the world starts at `origin`
// on the simulation's clock.
void applyWorld(const World& world, Simulation& sim, Micros origin = 0);

inline constexpr int kBadWorldStatus = 2;

}  // namespace quorvane::sim
