#include "plot/log_reader.h"

namespace quorvane::plot {

namespace {

// Far longer than any entry: a line beyond it is junk, and only its end is looked for.
constexpr std::size_t kLongestLine = 256;

}  // namespace

void LogReader::read(std::string_view bytes) {
    for (std::size_t end = bytes.find('\n'); end != std::string_view::npos;
         end = bytes.find('\n')) {
        if (partial_.empty() && !overlong_) {
            takeLine(bytes.substr(0, end));
        } else {
            keep(bytes.substr(0, end));
            takeLine(partial_);
            partial_.clear();
            overlong_ = false;
        }
        bytes.remove_prefix(end + 1);
    }
    keep(bytes);
}

void LogReader::finish() {
    if (!partial_.empty() || overlong_) {
        takeLine(partial_);
        partial_.clear();
        overlong_ = false;
    }
}

void LogReader::keep(std::string_view piece) {
    overlong_ = overlong_ || partial_.size() + piece.size() > kLongestLine;
    if (!overlong_) {
        partial_.append(piece);
    }
}

void LogReader::takeLine(std::string_view text) {
    ++linesRead_;
    if (text.ends_with('\r')) {  // a log copied through a Windows editor
        text.remove_suffix(1);
    }
    if (text.empty() && !overlong_) {
        return;
    }
    if (const auto entry = overlong_ ? std::nullopt : parseEntry(text)) {
        onEntry_(*entry);
    } else if (skipped_++ == 0) {
        firstSkippedLine_ = linesRead_;
    }
}

}  // namespace quorvane::plot
