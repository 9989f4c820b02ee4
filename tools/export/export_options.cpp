#include "export/export_options.h"

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

tools::CommandLine<ExportOptions> parseExportOptions(int argc, char* argv[]) {
    ExportOptions options;
    bool lines = false;
    bool json = false;
    // The first word that is not an option begins the program's command line, with its own.
    tools::OptionReader reader(
        argc, argv, tools::Words::EndOptions,
        {{"lines", 'l', false}, {"json", 'j', false}, {"textfile", 't', true}});
    for (int c = reader.next(); c != tools::OptionReader::kEnd; c = reader.next()) {
        switch (c) {
            case 'l':
                lines = true;
                break;
            case 'j':
                json = true;
                break;
            case 't':
                if (reader.value().empty()) {
                    return tools::UsageError{"the text file name is empty"};
                }
                options.textfile = std::string(reader.value());
                break;
            case 'h':
                return tools::HelpRequested{};
            default:
                return reader.error(c);
        }
    }
    if (lines && json) {
        return tools::UsageError{"--lines and --json exclude each other"};
    }
    options.format = json ? Format::Json : lines ? Format::Lines : Format::Copy;
    for (const char* word : reader.rest()) {
        options.program.emplace_back(word);
    }
    if (!options.program.empty() && options.program.front().empty()) {
        return tools::UsageError{"the program name is empty"};
    }
    return options;
}

}  // namespace quorvane::exporter
