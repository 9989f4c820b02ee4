// Files for the tests: fresh temporary directories, scratch files that leave nothing behind,
// standard output caught in one, and whole files read and written.
#pragma once

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::testkit {

// The base of what owns something while it lives: neither copied nor moved.
struct Pinned {
    Pinned() = default;
    Pinned(const Pinned&) = delete;
    Pinned& operator=(const Pinned&) = delete;
};

// A fresh directory under the temporary directory, removed with all it holds.
class TempDir : Pinned {
  public:
    TempDir();  // throws std::runtime_error when none can be made
    ~TempDir();

    const std::filesystem::path& path() const { return path_; }
    // The path of name inside it, as a command line takes it.
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

// Makes dir the current directory while it lives.
class WorkingDirectory : Pinned {
  public:
    explicit WorkingDirectory(const std::filesystem::path& dir);
    ~WorkingDirectory();

  private:
    std::filesystem::path previous_;
};

// An unlinked file in the temporary directory: nothing is left behind, however much goes in.
class ScratchFile : Pinned {
  public:
    ScratchFile();  // throws std::runtime_error when none can be made
    ~ScratchFile();

    int fd() const;
    // Everything written to it, from its start, wherever its offset stands.
    std::string content() const;

  private:
    std::FILE* file_;
};

// Points file descriptor 1 at a scratch file while it lives, stdout flushed on the way in and
// out, so that what the code under test prints can be read back whole, however much it is.
class StdoutCapture : Pinned {
  public:
    StdoutCapture();  // throws std::runtime_error when the descriptor cannot be moved
    ~StdoutCapture();

    // What has reached the descriptor, without flushing stdout: what a pipe would have received.
    std::string written() const { return file_.content(); }
    // Everything printed since the capture began, stdout flushed first.
    std::string printed() const;

  private:
    ScratchFile file_;
    int saved_ = -1;
};

// What print() prints on standard output.
std::string printedBy(const std::function<void()>& print);

// Throws std::runtime_error with what failed and the text of the error (by default errno's).
[[noreturn]] void throwErrno(const std::string& what, int error = errno);

// The content of a regular file; nothing when there is none (nothing, a directory, a device).
std::optional<std::string> readFile(const std::filesystem::path& file);
// The lines of a regular file, without their newlines; none when there is no such file.
std::vector<std::string> readLines(const std::filesystem::path& file);
// Replaces the file's content; throws std::runtime_error when it cannot be written whole.
void writeFile(const std::filesystem::path& file, std::string_view content);

}  // namespace quorvane::testkit
