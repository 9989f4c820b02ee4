// Running another program and waiting for it.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace quorvane::tools {

// The exit status of the program, 128 + the signal number when a signal ended it, or -1 when it
// could not be started at all (not installed, not executable). With `output`, its standard output
// is that descriptor.
int runProgram(const std::vector<std::string>& argv, int output = -1);

// A program running with its standard output on a pipe that this process reads.
struct PipedProgram {
    pid_t pid = -1;
    int output = -1;  // the pipe's reading end
};

// Starts argv[0] (looked up on PATH when it has no slash) with its standard output on a new
// pipe, no signal blocked and the signals of kPassedOn and SIGPIPE at their default actions,
// whatever this process does with them. The kernel sends it SIGTERM when this process dies, so
// that it never outlives it (holding a port, with nobody reading). Returns 0, or the error
// number when it could not be started. Call it before starting any thread.
// The signals that a program's parent passes on to it.
inline constexpr int kPassedOn[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2};

int startPiped(const std::vector<std::string>& argv, PipedProgram& started);

// Waits for a started program to end: its exit status as runProgram gives it.
int waitForExit(pid_t pid);

// A new file of this process's own (mode 0600, created where no file of that name was) that is
// removed when this goes away, unless it was moved into place. It lies in the temporary
// directory, or in `directory`: a file to be renamed over another must lie beside it.
class TempFile {
  public:
    explicit TempFile(const std::string& suffix, const std::string& directory = {});
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    bool ok() const { return fd_ >= 0; }
    const std::string& path() const { return path_; }
    // The file as it was made, open for reading and writing, until it is moved into place.
    int fd() const { return fd_; }
    // Replaces the content; false when it could not be written whole.
    bool write(const std::string& content) const;
    // Gives the file `mode` and renames it to `path`, replacing whatever has that name (a
    // symbolic link is replaced, never followed); false, with errno, when it could not.
    bool moveTo(const std::string& path, mode_t mode);

  private:
    std::string path_;
    int fd_ = -1;
};

}  // namespace quorvane::tools
