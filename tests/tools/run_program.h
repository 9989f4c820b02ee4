// Running the built programs from tests: exit status and everything they printed.
#pragma once

#include <string>
#include <vector>

namespace quorvane::testing {

struct ProgramResult {
    int status = -1;  // exit status, 128 + signal, or -1 when it could not be started
    std::string out;
    std::string err;
};

// Runs argv[0] (looked up on PATH when it has no slash) in `dir` (or here), with standard
// input from /dev/null.
ProgramResult runProgram(const std::vector<std::string>& argv, const std::string& dir = "");

// True when a program of that name is on PATH.
bool onPath(const std::string& name);

// A fresh empty directory under the temporary directory, removed with its content on exit.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

}  // namespace quorvane::testing
