#include "export/record_scanner.h"

#include <cstring>

namespace quorvane::exporter {

namespace {

constexpr std::string_view kErrorWords = "Error reading thermometer ";
constexpr std::string_view kStampShape = "dd:dd:dd dd/dd/dddd";
// "%4.1f" pads to four characters; a number of the chip's range has at most four digits before
// the point in any unit, so a fifth is allowed and a sixth is not the program's.
constexpr std::size_t kMinWidth = 4;
constexpr std::size_t kMaxIntegerDigits = 5;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

void RecordScanner::feed(std::string_view bytes, ScanHandler& handler) {
    while (!bytes.empty()) {
        if (length_ == 0) {
            // Outside a candidate everything up to the next newline is text.
            const std::size_t newline = bytes.find('\n');
            if (newline != 0) {
                handler.text(bytes.substr(0, newline), false);
            }
            if (newline == std::string_view::npos) {
                return;
            }
            buffer_[0] = '\n';
            length_ = 1;
            phase_ = Phase::Start;
            count_ = 0;
            pad_ = 0;
            bytes.remove_prefix(newline + 1);
            continue;
        }
        const char c = bytes.front();
        bytes.remove_prefix(1);
        if (extend(c, handler)) {
            continue;
        }
        // Not a record after all: what was held is text, and the byte that broke it is read
        // again outside a candidate, since it may begin the next message.
        abandon(handler);
        if (c != '\n') {
            handler.text(std::string_view(&c, 1), false);
        } else {
            bytes = std::string_view(bytes.data() - 1, bytes.size() + 1);
        }
    }
}

void RecordScanner::finish(ScanHandler& handler) {
    if (length_ != 0) {
        abandon(handler);
    }
}

void RecordScanner::abandon(ScanHandler& handler) {
    handler.text(std::string_view(buffer_.data() + 1, length_ - 1), true);
    length_ = 0;
}

bool RecordScanner::extend(char c, ScanHandler& handler) {
    if (c == '\n' || length_ >= buffer_.size()) {
        return false;
    }
    buffer_[length_++] = c;
    if (step(c, handler)) {
        return true;
    }
    --length_;
    return false;
}

bool RecordScanner::step(char c, ScanHandler& handler) {
    switch (phase_) {
        case Phase::Start:
            if (c == 'E') {
                kind_ = RecordKind::Error;
                phase_ = Phase::Word;
                count_ = 1;
                return true;
            }
            kind_ = RecordKind::Measurement;
            [[fallthrough]];
        case Phase::Pad:
            if (c == ' ') {
                phase_ = Phase::Pad;
                return ++pad_ < kMinWidth;
            }
            valueBegin_ = length_ - 1;
            if (c == '-') {
                phase_ = Phase::Sign;
                return true;
            }
            [[fallthrough]];
        case Phase::Sign:
            if (!isDigit(c)) {
                return false;
            }
            phase_ = Phase::Integer;
            leadingZero_ = c == '0';
            count_ = 1;
            return true;
        case Phase::Integer:
            if (c == '.') {
                phase_ = Phase::Point;
                return true;
            }
            // printf writes no leading zeros: "01.5" is not the program's.
            return isDigit(c) && !leadingZero_ && ++count_ <= kMaxIntegerDigits;
        case Phase::Point:
            phase_ = Phase::Fraction;
            return isDigit(c);
        case Phase::Fraction: {
            valueEnd_ = length_ - 1;
            const std::size_t width = valueEnd_ - valueBegin_;
            const std::size_t pad = width < kMinWidth ? kMinWidth - width : 0;
            phase_ = Phase::Unit;
            return c == ' ' && pad_ == pad;
        }
        case Phase::Unit:
            unit_ = c;
            phase_ = Phase::UnitSpace;
            return c == 'C' || c == 'F' || c == 'K';
        case Phase::UnitSpace:
            phase_ = Phase::Stamp;
            count_ = 0;
            stampBegin_ = length_;
            return c == ' ';
        case Phase::Word:
            if (c != kErrorWords[count_]) {
                return false;
            }
            if (++count_ == kErrorWords.size()) {
                phase_ = Phase::Stamp;
                count_ = 0;
                stampBegin_ = length_;
            }
            return true;
        case Phase::Stamp: {
            const char shape = kStampShape[count_++];
            if (shape == 'd' ? !isDigit(c) : c != shape) {
                return false;
            }
            return count_ < kStampShape.size() || completeStamp(handler);
        }
    }
    return false;
}

bool RecordScanner::completeStamp(ScanHandler& handler) {
    const std::string_view stamp(buffer_.data() + stampBegin_, kStampShape.size());
    // The shape is checked already; a 25th hour or a 31st of June is not the program's.
    const auto local = tools::parseTimestamp(stamp);
    if (!local) {
        return false;
    }
    Record record;
    record.kind = kind_;
    record.text = std::string_view(buffer_.data() + 1, length_ - 1);
    if (kind_ == RecordKind::Measurement) {
        record.value = std::string_view(buffer_.data() + valueBegin_, valueEnd_ - valueBegin_);
        record.unit = unit_;
    }
    record.stamp = *local;
    length_ = 0;
    handler.record(record);
    return true;
}

}  // namespace quorvane::exporter
