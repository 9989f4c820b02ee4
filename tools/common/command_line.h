// What the companions' mains share: the command line read with getopt_long into each tool's own
// messages, the help text, the reports on standard error and the exit statuses.
#pragma once

#include <getopt.h>

#include <exception>
#include <initializer_list>
#include <iostream>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quorvane::tools {

inline constexpr int kFailure = 1;
inline constexpr int kBadUsage = 2;

struct HelpRequested {};

// A message for the user, without the program's name.
struct UsageError {
    std::string message;
};

template <typename Options>
using CommandLine = std::variant<Options, HelpRequested, UsageError>;

// One option: its long name, its letter (or a number above 255 for a long name alone), and
// whether it takes a value.
struct Option {
    const char* name;
    int letter;
    bool takesValue;
};

// What a word that is not an option does: comes back in its place among the options, or ends
// them (the words after it are the command line of another program).
enum class Words { InOrder, EndOptions };

// getopt_long over a whole command line, with getopt's own messages replaced by the tool's.
// -h and --help are every tool's, and come back as 'h'.
class OptionReader {
  public:
    static constexpr int kWord = 1;
    static constexpr int kEnd = -1;

    OptionReader(int argc, char* argv[], Words words, std::initializer_list<Option> options);

    // The next option's letter, kWord, '?' for an unknown option, ':' for a missing value, or
    // kEnd.
    int next();
    // The value of the option just read, or the word; empty when there is none.
    std::string_view value() const { return optarg != nullptr ? optarg : ""; }
    // After kEnd: whether "--" ended the options, and the words after the options.
    bool endedByDashes() const { return dashes_; }
    std::span<char* const> rest() const;

    // What to tell the user about the '?', ':' or kWord that next() just returned.
    UsageError error(int code) const;

  private:
    int argc_;
    char** argv_;
    std::string shortOptions_;
    std::vector<option> longOptions_;
    int current_ = 1;  // the word the last option came from
    bool dashes_ = false;
};

// "<program>: <message>" on standard error.
void report(std::string_view program, std::string_view message);

// Reports the message and gives the exit status of a failure.
int reportFailure(std::string_view program, std::string_view message);

// The main of a companion: reads the command line with `parse`, then prints the help, or the
// usage error with exit status 2, or returns what `run` returns for the options. Anything thrown
// is reported as a failure rather than ending the program without a word.
template <typename Parse, typename Run>
int toolMain(std::string_view program, const char* usage, int argc, char* argv[], Parse parse,
             Run run) {
    try {
        const auto parsed = parse(argc, argv);
        if (std::holds_alternative<HelpRequested>(parsed)) {
            std::cout << usage;
            return 0;
        }
        if (const auto* error = std::get_if<UsageError>(&parsed)) {
            std::cerr << program << ": " << error->message << "\nTry '" << program << " --help'.\n";
            return kBadUsage;
        }
        return run(std::get<0>(parsed));
    } catch (const std::exception& error) {
        return reportFailure(program, error.what());
    }
}

}  // namespace quorvane::tools
