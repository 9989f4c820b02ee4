// Walks a command line of options, some of which take a value given as "-o FILE",
// "--output FILE" or "--output=FILE".
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace quorvane::tools {

class Arguments {
  public:
    Arguments(int argc, char* argv[])
        : args_(argv + 1, static_cast<std::size_t>(argc > 0 ? argc - 1 : 0)) {}

    bool done() const { return next_ >= args_.size(); }

    // The next option's name ("--output" of "--output=x.png"); any "=value" is kept for value().
    std::string_view nextOption() {
        std::string_view arg = args_[next_++];
        inline_.reset();
        if (arg.starts_with("--")) {
            const std::size_t equals = arg.find('=');
            if (equals != std::string_view::npos) {
                inline_ = arg.substr(equals + 1);
                arg = arg.substr(0, equals);
            }
        }
        return arg;
    }

    // The value of the option just read, or nothing when the command line ends without it.
    std::optional<std::string_view> value() {
        if (inline_) {
            return std::exchange(inline_, std::nullopt);
        }
        if (done()) {
            return std::nullopt;
        }
        return std::string_view(args_[next_++]);
    }

  private:
    std::span<char*> args_;
    std::size_t next_ = 0;
    std::optional<std::string_view> inline_;
};

}  // namespace quorvane::tools
