// The command line of quorvane-export.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "export/exporter.h"

namespace quorvane::exporter {

struct ExportOptions {
    Format format = Format::Copy;
    std::optional<std::string> textfile;
    std::vector<std::string> program;  // empty: read standard input
};

struct HelpRequested {};

struct UsageError {
    std::string message;  // without the program's name
};

std::variant<ExportOptions, HelpRequested, UsageError> parseExportOptions(int argc, char* argv[]);

extern const char* const kExportUsage;

}  // namespace quorvane::exporter
