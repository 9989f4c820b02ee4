// What quorvane-export makes of the program's output: the copy or the lines on standard output,
// or a JSON object per record, and the readings for the metrics.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "export/record_scanner.h"

namespace quorvane::exporter {

enum class Format {
    Copy,   // the input unchanged
    Lines,  // each message as a line that ends with its newline, each record at once
    Json,   // one JSON object per record, nothing else; the other messages go aside as lines
};

// The readings since the exporter started, as the metrics show them.
struct Readings {
    std::optional<std::string> celsius;  // the last good reading; none before the first
    std::int64_t lastReadingTime = 0;    // its Unix time
    std::uint64_t readings = 0;
    std::uint64_t errors = 0;
};

// The temperature in degrees Celsius of a value shown in `unit`, as text. Fahrenheit shown to a
// tenth is finer than the program's tenths of a degree Celsius, so their reading comes back
// exactly; Kelvin, shown to a tenth after 273.15 is added, comes back to within 0.05 degrees,
// with two decimals.
std::string celsiusOf(std::string_view value, char unit);

// A calibration offset in hundredths of a degree (Celsius and Kelvin alike), added to every good
// reading that becomes data; the program's own lines keep what it printed.
struct Offset {
    long hundredths = 0;
    bool given = false;
};

// The decimal `value` moved by `hundredths`, shown with as many decimals as either needs (at least
// the value's own): ("21.4", -40) is "21.0", ("21.4", -25) is "21.15".
std::string shifted(std::string_view value, long hundredths);

// The offset as a decimal: -40 is "-0.4", 125 is "1.25".
std::string offsetText(long hundredths);

// The Prometheus text exposition of the readings of the thermometer named `sensor`. Every series
// carries the name as its label sensor, so that the files of several thermometers sit side by side
// in one collector; their HELP and TYPE lines are the same in every file, as the collector
// requires of a family spread over files.
std::string exposition(const Readings& readings, std::string_view sensor,
                       const Offset& offset = {});

// A record as the exporter made it into data, for the outputs beyond standard output.
struct Exported {
    bool good = false;
    std::string json;     // the JSON object of --json, without its newline
    std::string celsius;  // good: the reading in degrees Celsius, offset applied
    std::string text;     // the record as the program printed it
};

class Exporter : private ScanHandler {
  public:
    // Called with each piece of output, already whole: one call is one write.
    using Writer = std::function<void(std::string_view)>;
    using Clock = std::function<std::time_t()>;
    using RecordTaker = std::function<void(const Exported&)>;

    // `aside` takes the program's other messages (banner, log messages, refusals) as lines where
    // the format leaves no room for them on the output: with Json, standard error.
    Exporter(Format format, Writer out, Clock clock, Writer aside = nullptr, Offset offset = {});

    // `taker` is given every record, good or failed, after it has gone to the output.
    void onRecord(RecordTaker taker) { taker_ = std::move(taker); }

    // A piece of input as it was read. `drained`: nothing more was waiting behind it, so the
    // program has finished writing for now, and a message that is not a record ends its line.
    void input(std::string_view bytes, bool drained);
    // The input has ended.
    void end();

    const Readings& readings() const { return readings_; }
    // Whether the readings changed since the last call.
    bool takeChanged() { return std::exchange(changed_, false); }

  private:
    void record(const Record& record) override;
    void text(std::string_view bytes, bool startsMessage) override;
    void closeLine();
    // Where the other messages go as lines: nowhere for Copy, which has passed them on already.
    Writer* messageWriter();

    Format format_;
    Writer out_;
    Writer aside_;
    Clock clock_;
    Offset offset_;
    RecordTaker taker_;
    RecordScanner scanner_;
    Readings readings_;
    bool changed_ = false;
    bool lineOpen_ = false;  // text of a message written as a line, its newline not yet
};

}  // namespace quorvane::exporter
