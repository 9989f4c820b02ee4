// The settings of a fake kernel device (fake_parport.h, fake_gpiochip.h) as the value of one
// environment variable: space-separated name=value words, for the settings that differ from the
// defaults. A Settings type lists its fields with their names in a static each(visit). Inline,
// so that a test starting a program with a fake preloaded need not load the fake itself.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <iomanip>
#include <optional>
#include <sstream>
#include <string>
#include <type_traits>

namespace quorvane::testkit::fake_settings {

template <typename T>
const T& shown(const T& value) {
    return value;
}
inline double shown(const std::optional<double>& value) {
    return *value;
}
// A text may hold spaces (an adapter's name): each space is written %20, and a % itself %25.
inline std::string shown(const std::string& value) {
    std::string escaped;
    for (const char c : value) {
        escaped += c == ' ' ? "%20" : c == '%' ? "%25" : std::string(1, c);
    }
    return escaped;
}

inline void read(const std::string& text, std::string& value) {
    value.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 3, "%20") == 0 || text.compare(i, 3, "%25") == 0) {
            value += text[i + 2] == '0' ? ' ' : '%';
            i += 2;
        } else {
            value += text[i];
        }
    }
}
inline void read(const std::string& text, bool& value) {
    value = std::strtoll(text.c_str(), nullptr, 0) != 0;
}
inline void read(const std::string& text, std::optional<double>& value) {
    value = std::strtod(text.c_str(), nullptr);
}
template <typename Integer>
void read(const std::string& text, Integer& value) {
    if constexpr (std::is_signed_v<Integer>) {
        value = static_cast<Integer>(std::strtoll(text.c_str(), nullptr, 0));
    } else {
        value = static_cast<Integer>(std::strtoull(text.c_str(), nullptr, 0));
    }
}

// The value for the environment variable.
template <typename Settings>
std::string text(const Settings& settings) {
    std::ostringstream out;
    out << std::setprecision(17);
    Settings::each([&settings, &out](const char* name, auto member) {
        if (settings.*member != Settings{}.*member) {
            out << (out.tellp() > 0 ? " " : "") << name << '=' << shown(settings.*member);
        }
    });
    return out.str();
}

// The settings the value names, the others at their defaults. An unknown name ends the process
// with a message that begins with `fake`, the fake's name.
template <typename Settings>
Settings parse(const std::string& text, const char* fake) {
    Settings settings;
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        const std::size_t eq = word.find('=');
        const std::string name = word.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : word.substr(eq + 1);
        bool known = false;
        Settings::each([&](const char* settingName, auto member) {
            if (name == settingName) {
                read(value, settings.*member);
                known = true;
            }
        });
        if (!known) {
            std::fprintf(stderr, "%s: unknown setting %s\n", fake, word.c_str());
            std::abort();
        }
    }
    return settings;
}

}  // namespace quorvane::testkit::fake_settings
