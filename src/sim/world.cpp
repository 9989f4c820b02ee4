#include "sim/world.h"

#include <errno.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <utility>

#include "numbers/numbers.h"
#include "settings/settings.h"

namespace quorvane::sim {

namespace {

// Times and periods: up to about thirty years, which no run outlasts.
constexpr double kLongest = 1e9;

constexpr const char* kSettings =
    "the settings are temperature, count_per_c and fault, each name=value, separated by ';'";
constexpr const char* kTemperatureAllowed =
    "give degrees Celsius from -55 to 125 (such as -10.5), or A..B/P to go from A to B and back "
    "every P seconds";
constexpr const char* kCountAllowed = "give a whole number from 0 to 255";

// Names every kind of fault there is.
std::string faultAllowed() {
    // Appended piece by piece: GCC 12 warns falsely on a string inserted in front of another
    // once the program is optimised at link time (its -Wstringop-overflow).
    std::string allowed = "give KIND@FROM-TO: KIND one of ";
    for (const FaultName& f : kFaultNames) {
        if (&f != kFaultNames.data()) {
            allowed += ", ";
        }
        allowed += f.name;
    }
    allowed += "; FROM and TO seconds after the start, TO after FROM or left out (for ever)";
    return allowed;
}

std::string_view viewOf(settings::Span span) {
    return {span.start, span.length};
}

std::optional<double> celsius(std::string_view text) {
    return numbers::parseDecimal(text, kLowestCelsius, kHighestCelsius);
}

std::optional<Micros> seconds(std::string_view text) {
    const auto value = numbers::parseDecimal(text, 0.0, kLongest);
    if (!value) {
        return std::nullopt;
    }
    return static_cast<Micros>(std::llround(*value * static_cast<double>(kMicrosPerSecond)));
}

// "T" or "A..B/P".
std::optional<TemperatureSetting> temperatureOf(std::string_view text) {
    const auto dots = text.find("..");
    if (dots == std::string_view::npos) {
        const auto t = celsius(text);
        if (!t) {
            return std::nullopt;
        }
        return TemperatureSetting{*t, *t, 0};
    }
    const auto slash = text.find('/', dots);
    if (slash == std::string_view::npos) {
        return std::nullopt;
    }
    const auto first = celsius(text.substr(0, dots));
    const auto second = celsius(text.substr(dots + 2, slash - dots - 2));
    const auto period = seconds(text.substr(slash + 1));
    if (!first || !second || !period || *period == 0) {
        return std::nullopt;
    }
    return TemperatureSetting{*first, *second, *period};
}

// "KIND", "KIND@FROM", "KIND@FROM-" or "KIND@FROM-TO".
std::optional<FaultWindow> faultOf(std::string_view text) {
    const auto at = text.find('@');
    const std::string_view name = text.substr(0, at);
    FaultWindow window;
    bool known = false;
    for (const FaultName& f : kFaultNames) {
        if (f.name == name) {
            window.fault = f.fault;
            known = true;
        }
    }
    if (!known) {
        return std::nullopt;
    }
    if (at == std::string_view::npos) {
        return window;
    }
    const std::string_view span = text.substr(at + 1);
    const auto dash = span.find('-');
    const auto from = seconds(span.substr(0, dash));
    if (!from) {
        return std::nullopt;
    }
    window.from = *from;
    if (dash == std::string_view::npos || dash + 1 == span.size()) {
        return window;
    }
    const auto to = seconds(span.substr(dash + 1));
    if (!to || *to <= *from) {
        return std::nullopt;
    }
    window.to = *to;
    return window;
}

WorldError badSetting(std::string_view setting, std::string_view allowed) {
    return {std::string(kWorldVariable) + ": bad setting '" + std::string(setting) +
            "': " + std::string(allowed)};
}

}  // namespace

std::variant<World, WorldError> parseWorld(std::string_view text) {
    World world;
    const char* cursor = text.data();
    settings::Setting parsed{};
    while (settings::nextSetting(&cursor, text.data() + text.size(), &parsed)) {
        const std::string_view setting = viewOf(parsed.whole);
        if (!parsed.named) {
            return WorldError{std::string(kWorldVariable) + ": '" + std::string(setting) +
                              "' is not name=value; " + kSettings};
        }
        const std::string_view name = viewOf(parsed.name);
        const std::string_view value = viewOf(parsed.value);
        if (name == "temperature") {
            world.temperature = temperatureOf(value);
            if (!world.temperature) {
                return badSetting(setting, kTemperatureAllowed);
            }
        } else if (name == "count_per_c") {
            const auto count = numbers::parseInteger(value, 0, 255);
            if (!count) {
                return badSetting(setting, kCountAllowed);
            }
            world.countPerC = static_cast<std::uint8_t>(*count);
        } else if (name == "fault") {
            const auto window = faultOf(value);
            if (!window) {
                return badSetting(setting, faultAllowed());
            }
            world.faults.push_back(*window);
        } else {
            return WorldError{std::string(kWorldVariable) + ": unknown setting '" +
                              std::string(setting) + "'; " + kSettings};
        }
    }
    return world;
}

std::variant<World, WorldError> worldFromEnvironment() {
    const char* text = std::getenv(kWorldVariable);
    return parseWorld(text != nullptr ? text : "");
}

World requireWorld() {
    auto parsed = worldFromEnvironment();
    if (const auto* error = std::get_if<WorldError>(&parsed)) {
        std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, error->message.c_str());
        std::exit(kBadWorldStatus);
    }
    return std::get<World>(std::move(parsed));
}

TemperatureProfile profileOf(const TemperatureSetting& setting) {
    if (setting.period == 0) {
        return [t = setting.first](Micros) { return t; };
    }
    return [setting](Micros t) {
        const double phase = 2.0 * std::numbers::pi * static_cast<double>(t % setting.period) /
                             static_cast<double>(setting.period);
        return setting.first + (setting.second - setting.first) * (1.0 - std::cos(phase)) / 2.0;
    };
}

void applyWorld(const World& world, Simulation& sim, Micros origin) {
    if (world.temperature) {
        sim.setTemperatureProfile([profile = profileOf(*world.temperature), origin](Micros t) {
            return profile(t - origin);
        });
    }
    if (world.countPerC) {
        sim.setCountPerC(*world.countPerC);
    }
    if (!world.faults.empty()) {
        std::vector<FaultWindow> windows = world.faults;
        for (FaultWindow& w : windows) {
            w.from += origin;
            if (w.to) {
                *w.to += origin;
            }
        }
        sim.scheduleFaults(std::move(windows));
    }
}

}  // namespace quorvane::sim
