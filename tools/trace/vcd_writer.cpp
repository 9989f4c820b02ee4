#include "trace/vcd_writer.h"

#include <stdexcept>

namespace quorvane::trace {

namespace {

// Short identifiers from the printable characters, as VCD writers customarily make them.
std::string identifier(std::size_t index) {
    constexpr char kFirst = '!';
    constexpr std::size_t kCount = '~' - '!' + 1;
    std::string code;
    do {
        code += static_cast<char>(kFirst + static_cast<char>(index % kCount));
        index /= kCount;
    } while (index != 0);
    return code;
}

}  // namespace

VcdWriter::VcdWriter(std::ostream& out, std::string_view scope,
                     const std::vector<std::string>& wires, std::string_view comment)
    : out_(out) {
    out_ << "$comment\n  " << comment << "\n$end\n";
    out_ << "$timescale 1us $end\n";
    out_ << "$scope module " << scope << " $end\n";
    for (std::size_t i = 0; i < wires.size(); ++i) {
        codes_.push_back(identifier(i));
        out_ << "$var wire 1 " << codes_.back() << ' ' << wires[i] << " $end\n";
    }
    out_ << "$upscope $end\n$enddefinitions $end\n";
}

void VcdWriter::timestamp(std::int64_t time) {
    if (started_ && time < time_) {
        throw std::logic_error("VCD time went back");
    }
    if (!timeWritten_ || time != time_) {
        out_ << '#' << time << '\n';
        time_ = time;
        timeWritten_ = true;
    }
}

void VcdWriter::sample(std::int64_t time, const std::vector<bool>& levels) {
    if (levels.size() != codes_.size()) {
        throw std::logic_error("VCD sample has the wrong number of wires");
    }
    if (!started_) {
        timestamp(time);
        out_ << "$dumpvars\n";
        for (std::size_t i = 0; i < levels.size(); ++i) {
            out_ << (levels[i] ? '1' : '0') << codes_[i] << '\n';
        }
        out_ << "$end\n";
        levels_ = levels;
        started_ = true;
        return;
    }
    for (std::size_t i = 0; i < levels.size(); ++i) {
        if (levels[i] != levels_[i]) {
            timestamp(time);
            out_ << (levels[i] ? '1' : '0') << codes_[i] << '\n';
            ++changes_;
        }
    }
    levels_ = levels;
}

void VcdWriter::finish(std::int64_t time) {
    if (started_) {
        timestamp(time);
    }
}

}  // namespace quorvane::trace
