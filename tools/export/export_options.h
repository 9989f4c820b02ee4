// The command line of quorvane-export.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/command_line.h"
#include "export/exporter.h"
#include "export/mqtt_settings.h"

namespace quorvane::exporter {

struct ExportOptions {
    Format format = Format::Copy;
    // The thermometer's name: the sensor label of its metrics and, unless --node says otherwise,
    // its MQTT node.
    std::string sensor;
    std::optional<std::string> textfile;
    Offset offset;
    std::optional<MqttSettings> mqtt;
    std::vector<std::string> program;  // empty: read standard input
};

tools::CommandLine<ExportOptions> parseExportOptions(int argc, char* argv[]);

extern const char* const kExportUsage;

}  // namespace quorvane::exporter
