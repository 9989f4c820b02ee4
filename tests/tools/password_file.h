// A password file for quorvane-export's --mqtt-password-file, with the permissions the test
// chooses: the exporter refuses one that others may read.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

#include "kit/files.h"

namespace quorvane::testkit {

// Writes `password` and a newline to `name` in `dir` with `mode`; its path.
inline std::string writePasswordFile(const TempDir& dir, const std::string& name,
                                     std::string_view password, mode_t mode) {
    std::string path = dir.file(name);
    writeFile(path, std::string(password) + "\n");
    chmod(path.c_str(), mode);
    return path;
}

}  // namespace quorvane::testkit
