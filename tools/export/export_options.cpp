#include "export/export_options.h"

#include <getopt.h>

#include <array>

namespace quorvane::exporter {

const char* const kExportUsage =
    "Usage: quorvane-export [OPTION]... [--] [PROGRAM [ARG]...]\n"
    "Pass on what a quorvane program prints, read from standard input or from PROGRAM run as a\n"
    "child, and export each measurement the moment its last character arrives.\n"
    "\n"
    "  -l, --lines           each record and message as a line of its own that ends with a\n"
    "                        newline (default: a copy of the input, unchanged)\n"
    "  -j, --json            one JSON object per record instead of the copy\n"
    "  -t, --textfile FILE   after each record, replace FILE with the readings in Prometheus\n"
    "                        text format (for node_exporter's text-file collector)\n"
    "  -h, --help            show this help and exit\n"
    "\n"
    "With PROGRAM, SIGINT and SIGTERM are passed on to it, and the exit status is its own\n"
    "(128 + the number of the signal that ended it; 127 when it cannot be run).\n"
    "Without: 0 at the end of the input, 1 when an output failed, 2 for a bad command line.\n";

std::variant<ExportOptions, HelpRequested, UsageError> parseExportOptions(int argc, char* argv[]) {
    static constexpr std::array<option, 5> kLong{{
        {"lines", no_argument, nullptr, 'l'},
        {"json", no_argument, nullptr, 'j'},
        {"textfile", required_argument, nullptr, 't'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    }};
    ExportOptions options;
    bool lines = false;
    bool json = false;
    // "+": options end at the first word that is not one, which begins the program's command
    // line with its own options. getopt's messages are replaced by the tool's own.
    optind = 0;
    opterr = 0;
    int c = 0;
    while ((c = getopt_long(argc, argv, "+:ljt:h", kLong.data(), nullptr)) != -1) {
        const std::string given = optind > 0 && optind <= argc ? argv[optind - 1] : "";
        switch (c) {
            case 'l':
                lines = true;
                break;
            case 'j':
                json = true;
                break;
            case 't':
                if (*optarg == '\0') {
                    return UsageError{"the text file name is empty"};
                }
                options.textfile = optarg;
                break;
            case 'h':
                return HelpRequested{};
            case ':':
                return UsageError{"option " + given + " needs a value"};
            default:
                return UsageError{
                    "unknown option " +
                    (optopt != 0 ? std::string("-") + static_cast<char>(optopt) : given) +
                    " (see --help)"};
        }
    }
    if (lines && json) {
        return UsageError{"--lines and --json exclude each other"};
    }
    options.format = json ? Format::Json : lines ? Format::Lines : Format::Copy;
    for (int i = optind; i < argc; ++i) {
        options.program.emplace_back(argv[i]);
    }
    if (!options.program.empty() && options.program.front().empty()) {
        return UsageError{"the program name is empty"};
    }
    return options;
}

}  // namespace quorvane::exporter
