// A file that readers never see half written: each new content goes to a temporary file in the
// same directory, which then takes the file's name in one rename. node_exporter reads only names
// that end in ".prom", so it never reads the temporary file either.
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace quorvane::exporter {

class Textfile {
  public:
    explicit Textfile(std::string path) : path_(std::move(path)) {}

    const std::string& path() const { return path_; }

    // Replaces the content. On failure the file keeps its old content, nothing else is left
    // behind, and the reason is given.
    bool replace(std::string_view content, std::string& reason) const;

  private:
    std::string path_;
};

}  // namespace quorvane::exporter
