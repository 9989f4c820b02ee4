// The settings a person gives a program in one environment variable, "name=value;name=value":
// the one reading of that form, for the ports that take settings (QUORVANE_GPIO, QUORVANE_I2C)
// and for the simulator (QUORVANE_SIM). It only cuts the text into settings, names and values;
// each reader judges what they say and words its own messages. Plain functions over the text as
// it is, without copies or memory of their own, so that the programs' own layers may use it.
#pragma once

#include <errno.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quorvane::settings {

// Part of a text, not terminated: `length` characters from `start`.
struct Span {
    const char* start = nullptr;
    std::size_t length = 0;
};

// One setting, each part without the blanks (spaces, tabs) around it.
struct Setting {
    Span whole;  // the setting as written between its ';'
    Span name;   // before the first '='
    Span value;  // after the first '='
    bool named;  // whether there is a '=' at all: a setting without one is not name=value
};

inline bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

inline Span trimmed(const char* from, const char* to) {
    while (from < to && isBlank(*from)) {
        ++from;
    }
    while (to > from && isBlank(to[-1])) {
        --to;
    }
    return {from, static_cast<std::size_t>(to - from)};
}

// Takes the next setting that is not blank from the text between *cursor and end and moves
// *cursor past it. False when none is left.
inline bool nextSetting(const char** cursor, const char* end, Setting* setting) {
    while (*cursor < end) {
        const char* from = *cursor;
        const char* to = from;
        while (to < end && *to != ';') {
            ++to;
        }
        *cursor = to < end ? to + 1 : end;
        const Span whole = trimmed(from, to);
        if (whole.length == 0) {
            continue;
        }
        const char* wholeEnd = whole.start + whole.length;
        const char* equals = whole.start;
        while (equals < wholeEnd && *equals != '=') {
            ++equals;
        }
        setting->whole = whole;
        setting->named = equals < wholeEnd;
        setting->name = trimmed(whole.start, equals);
        setting->value = setting->named ? trimmed(equals + 1, wholeEnd) : Span{wholeEnd, 0};
        return true;
    }
    return false;
}

// The same for a text that ends with its terminator.
inline bool nextSetting(const char** cursor, Setting* setting) {
    return nextSetting(cursor, *cursor + std::strlen(*cursor), setting);
}

// Whether the span is exactly `text`.
inline bool spanIs(Span span, const char* text) {
    return std::strlen(text) == span.length &&
           (span.length == 0 || std::memcmp(span.start, text, span.length) == 0);
}

// Copies the span into out (size bytes), terminated. False, with nothing copied, when it does
// not fit.
inline bool copySpan(Span span, char* out, std::size_t size) {
    if (span.length >= size) {
        return false;
    }
    if (span.length != 0) {
        std::memcpy(out, span.start, span.length);
    }
    out[span.length] = '\0';
    return true;
}

// The setting as printed in a message: printf("%.*s", printedLength(span), span.start).
inline int printedLength(Span span) {
    return static_cast<int>(span.length);
}

// Whether text is decimal digits and nothing else.
inline bool isDigits(const char* text) {
    if (*text == '\0') {
        return false;
    }
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') {
            return false;
        }
    }
    return true;
}

// The exit status of a program that a bad setting ended.
inline constexpr int kBadSettingStatus = 2;

// Ends the program for a bad setting of `variable`, before it has opened anything: one message on
// standard error, "PROGRAM: VARIABLE: WHAT 'SETTING'; HELP", and kBadSettingStatus.
[[noreturn]] inline void refuseSetting(const char* variable, const char* what, Span setting,
                                       const char* help) {
    std::fprintf(stderr, "%s: %s: %s '%.*s'; %s\n", program_invocation_short_name, variable, what,
                 printedLength(setting), setting.start, help);
    std::exit(kBadSettingStatus);
}

}  // namespace quorvane::settings
