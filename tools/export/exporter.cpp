#include "export/exporter.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
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

// The decimals of a number as text: 0 without a point.
int decimalsOf(std::string_view value) {
    const std::size_t point = value.find('.');
    return point == std::string_view::npos ? 0 : static_cast<int>(value.size() - point - 1);
}

}  // namespace

std::string shifted(std::string_view value, long hundredths) {
    if (hundredths == 0) {
        return std::string(value);
    }
    // Whole hundredths, so that the sum is exact: the values have at most two decimals.
    const int decimals = decimalsOf(value);
    std::string digits;
    for (const char c : value) {
        if (c != '.') {
            digits.push_back(c);
        }
    }
    long long units = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), units);
    for (int d = decimals; d < 2; ++d) {
        units *= 10;
    }
    const long long sum = units + hundredths;
    const int shown = std::max(decimals, hundredths % 10 != 0 ? 2 : 1);
    char text[32];
    const long long whole = std::llabs(sum) / 100;
    const long long fraction = std::llabs(sum) % 100;
    if (shown == 1) {
        std::snprintf(text, sizeof text, "%s%lld.%lld", sum < 0 ? "-" : "", whole, fraction / 10);
    } else {
        std::snprintf(text, sizeof text, "%s%lld.%02lld", sum < 0 ? "-" : "", whole, fraction);
    }
    return text;
}

std::string offsetText(long hundredths) {
    return shifted("0.0", hundredths);
}

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

std::string exposition(const Readings& r, std::string_view sensor, const Offset& offset) {
    // The name needs no escaping: it is letters, digits, '_' and '-'.
    const std::string labels = "{sensor=\"" + std::string(sensor) + "\"} ";
    std::string text =
        "# HELP quorvane_temperature_celsius Last good reading of the thermometer, in degrees "
        "Celsius.\n"
        "# TYPE quorvane_temperature_celsius gauge\n";
    if (r.celsius) {
        text += "quorvane_temperature_celsius" + labels + *r.celsius + "\n";
    }
    text +=
        "# HELP quorvane_last_reading_timestamp_seconds Unix time of the last good reading.\n"
        "# TYPE quorvane_last_reading_timestamp_seconds gauge\n";
    if (r.celsius) {
        text += "quorvane_last_reading_timestamp_seconds" + labels +
                std::to_string(r.lastReadingTime) + "\n";
    }
    text +=
        "# HELP quorvane_readings_total Good readings since the exporter started.\n"
        "# TYPE quorvane_readings_total counter\n"
        "quorvane_readings_total" +
        labels + std::to_string(r.readings) +
        "\n"
        "# HELP quorvane_read_errors_total Failed measurements since the exporter started.\n"
        "# TYPE quorvane_read_errors_total counter\n"
        "quorvane_read_errors_total" +
        labels + std::to_string(r.errors) + "\n";
    if (offset.given) {
        text +=
            "# HELP quorvane_calibration_offset_celsius Offset added to every reading, in degrees "
            "Celsius.\n"
            "# TYPE quorvane_calibration_offset_celsius gauge\n"
            "quorvane_calibration_offset_celsius" +
            labels + offsetText(offset.hundredths) + "\n";
    }
    return text;
}

Exporter::Exporter(Format format, Writer out, Clock clock, Writer aside, Offset offset)
    : format_(format),
      out_(std::move(out)),
      aside_(std::move(aside)),
      clock_(std::move(clock)),
      offset_(offset) {}

Exporter::Writer* Exporter::messageWriter() {
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
    Exported exported;
    exported.good = record.kind == RecordKind::Measurement;
    exported.text = std::string(record.text);
    if (exported.good) {
        exported.celsius = shifted(celsiusOf(record.value, record.unit), offset_.hundredths);
        readings_.celsius = exported.celsius;
        readings_.lastReadingTime = time.unixSeconds;
        ++readings_.readings;
    } else {
        ++readings_.errors;
    }
    changed_ = true;

    exported.json = "{\"time\":\"" + iso8601(record.stamp, time.utcOffset) + "\",";
    if (exported.good) {
        // A Celsius degree is 1.8 Fahrenheit degrees: the offset in the shown unit, rounded to
        // the hundredth.
        const long h = offset_.hundredths;
        const long inUnit = record.unit == 'F' ? (h * 18 + (h < 0 ? -5 : 5)) / 10 : h;
        exported.json.append("\"value\":").append(shifted(record.value, inUnit));
        exported.json.append(",\"unit\":\"").push_back(record.unit);
        exported.json.append("\",\"celsius\":").append(exported.celsius);
        if (offset_.given) {
            exported.json.append(",\"offset\":").append(offsetText(offset_.hundredths));
        }
    } else {
        exported.json.append("\"error\":\"Error reading thermometer\"");
    }
    exported.json.append("}");

    if (format_ == Format::Lines) {
        std::string line = lineOpen_ ? "\n" : "";
        lineOpen_ = false;
        line.append(record.text).push_back('\n');
        out_(line);
    } else if (format_ == Format::Json) {
        closeLine();
        out_(exported.json + "\n");
    }
    if (taker_) {
        taker_(exported);
    }
}

void Exporter::text(std::string_view bytes, bool startsMessage) {
    Writer* to = messageWriter();
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
    Writer* to = messageWriter();
    if (lineOpen_ && to != nullptr) {
        (*to)("\n");
    }
    lineOpen_ = false;
}

}  // namespace quorvane::exporter
