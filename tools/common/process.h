// Running another program and waiting for it.
#pragma once

#include <string>
#include <vector>

namespace quorvane::tools {

// The exit status of the program, 128 + the signal number when a signal ended it, or -1 when it
// could not be started at all (not installed, not executable).
int runProgram(const std::vector<std::string>& argv);

// A file in the temporary directory that is removed when this goes away.
class TempFile {
  public:
    explicit TempFile(const std::string& suffix);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    // Replaces the content; false when it could not be written whole.
    bool write(const std::string& content) const;

  private:
    std::string path_;
};

}  // namespace quorvane::tools
