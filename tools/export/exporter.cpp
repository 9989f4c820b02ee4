#include "export/exporter.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <utility>

#include "export/zoned_time.h"

namespace quorvane::exporter {

namespace {

std::string decimal(double value, int decimals) {
    char text[32];
    // Adding zero turns a negative zero into a plain one.
    std::snprintf(text, sizeof text, "%.*f", decimals, value + 0.0);
    return text;
}

}  // namespace

std::string celsiusOf(std::string_view value, char unit) {
    if (unit == 'C') {
        return std::string(value);
    }
    double shown = 0;
    std::from_chars(value.data(), value.data() + value.size(), shown);
    if (unit == 'F') {
        return decimal(std::round((shown - 32) * 5 / 9 * 10) / 10, 1);
    }
    return decimal(shown - 273.15, 2);
}

std::string exposition(const Readings& r) {
    std::string text =
        "# HELP quorvane_temperature_celsius Last good reading of the thermometer, in degrees "
        "Celsius.\n"
        "# TYPE quorvane_temperature_celsius gauge\n";
    if (r.celsius) {
        text += "quorvane_temperature_celsius " + *r.celsius + "\n";
    }
    text +=
        "# HELP quorvane_last_reading_timestamp_seconds Unix time of the last good reading.\n"
        "# TYPE quorvane_last_reading_timestamp_seconds gauge\n";
    if (r.celsius) {
        text +=
            "quorvane_last_reading_timestamp_seconds " + std::to_string(r.lastReadingTime) + "\n";
    }
    text +=
        "# HELP quorvane_readings_total Good readings since the exporter started.\n"
        "# TYPE quorvane_readings_total counter\n"
        "quorvane_readings_total " +
        std::to_string(r.readings) +
        "\n"
        "# HELP quorvane_read_errors_total Failed measurements since the exporter started.\n"
        "# TYPE quorvane_read_errors_total counter\n"
        "quorvane_read_errors_total " +
        std::to_string(r.errors) + "\n";
    return text;
}

Exporter::Exporter(Format format, Writer out, Clock clock, Writer aside)
    : format_(format), out_(std::move(out)), aside_(std::move(aside)), clock_(std::move(clock)) {}

Exporter::Writer* Exporter::lines() {
    if (format_ == Format::Lines) {
        return &out_;
    }
    if (format_ == Format::Json && aside_) {
        return &aside_;
    }
    return nullptr;
}

void Exporter::input(std::string_view bytes, bool drained) {
    if (format_ == Format::Copy) {
        out_(bytes);
    }
    scanner_.feed(bytes, *this);
    if (drained) {
        closeLine();
    }
}

void Exporter::end() {
    scanner_.finish(*this);
    closeLine();
}

void Exporter::record(const Record& record) {
    const ZonedTime time = placeStamp(record.stamp, clock_());
    const bool good = record.kind == RecordKind::Measurement;
    const std::string celsius = good ? celsiusOf(record.value, record.unit) : std::string();
    if (good) {
        readings_.celsius = celsius;
        readings_.lastReadingTime = time.unixSeconds;
        ++readings_.readings;
    } else {
        ++readings_.errors;
    }
    changed_ = true;

    if (format_ == Format::Lines) {
        std::string line = lineOpen_ ? "\n" : "";
        lineOpen_ = false;
        line.append(record.text).push_back('\n');
        out_(line);
    } else if (format_ == Format::Json) {
        closeLine();
        std::string line = "{\"time\":\"" + iso8601(record.stamp, time.utcOffset) + "\",";
        if (good) {
            line.append("\"value\":").append(record.value);
            line.append(",\"unit\":\"").push_back(record.unit);
            line.append("\",\"celsius\":").append(celsius);
        } else {
            line.append("\"error\":\"Error reading thermometer\"");
        }
        line.append("}\n");
        out_(line);
    }
}

void Exporter::text(std::string_view bytes, bool startsMessage) {
    Writer* to = lines();
    if (to == nullptr) {
        return;
    }
    if (startsMessage && lineOpen_) {
        std::string line = "\n";
        line.append(bytes);
        (*to)(line);
    } else if (!bytes.empty()) {
        (*to)(bytes);
    }
    lineOpen_ = true;
}

void Exporter::closeLine() {
    Writer* to = lines();
    if (lineOpen_ && to != nullptr) {
        (*to)("\n");
    }
    lineOpen_ = false;
}

}  // namespace quorvane::exporter
