#include "common/command_line.h"

#include <algorithm>

namespace quorvane::tools {

OptionReader::OptionReader(int argc, char* argv[], Words words,
                           std::initializer_list<Option> options)
    : argc_(argc), argv_(argv), shortOptions_(words == Words::InOrder ? "-:h" : "+:h") {
    for (const Option& option : options) {
        if (option.letter < 256) {
            shortOptions_ += static_cast<char>(option.letter);
            shortOptions_ += option.takesValue ? ":" : "";
        }
        longOptions_.push_back({option.name, option.takesValue ? required_argument : no_argument,
                                nullptr, option.letter});
    }
    longOptions_.push_back({"help", no_argument, nullptr, 'h'});
    longOptions_.push_back({nullptr, 0, nullptr, 0});
    optind = 0;  // GNU getopt starts afresh
    opterr = 0;  // its messages are replaced by the tool's own
}

int OptionReader::next() {
    const int before = std::max(optind, 1);
    const int code = getopt_long(argc_, argv_, shortOptions_.c_str(), longOptions_.data(), nullptr);
    current_ = before;
    dashes_ = code == kEnd && optind == before + 1 && std::string_view(argv_[before]) == "--";
    return code;
}

std::span<char* const> OptionReader::rest() const {
    const int first = std::min(optind, argc_);
    return {argv_ + first, static_cast<std::size_t>(argc_ - first)};
}

UsageError OptionReader::error(int code) const {
    const std::string_view word = current_ < argc_ ? argv_[current_] : "";
    if (code == kWord) {
        return {"unknown option " + std::string(word) + " (see --help)"};
    }
    // The option as the user wrote it: a long one by its name, a short one by its letter, which
    // may stand in a cluster of letters.
    std::string given = std::string("-") + static_cast<char>(optopt);
    if (word.starts_with("--")) {
        given = word.substr(0, word.find('='));
    }
    if (code == ':') {
        return {"option " + given + " needs a value"};
    }
    return {"unknown option " + given + " (see --help)"};
}

void report(std::string_view program, std::string_view message) {
    std::cerr << program << ": " << message << '\n';
}

int reportFailure(std::string_view program, std::string_view message) {
    report(program, message);
    return kFailure;
}

}  // namespace quorvane::tools
