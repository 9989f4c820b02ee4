// Runs programs as child processes for the tests that watch them from outside: standard output
// arrives on a pipe and is read as it comes, standard error can be kept, standard input can be
// written, signals can be sent, and the end is collected. A child never outlives its object: the
// destructor kills and reaps it.
#pragma once

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kit/files.h"

namespace quorvane::testkit {

// How long a test waits for what a program should do soon: ample on a loaded machine.
inline constexpr std::chrono::milliseconds kPatience{30000};

// Polls until holds() does or the timeout passes; returns whether it held.
bool eventually(const std::function<bool()>& holds, std::chrono::milliseconds timeout = kPatience);

struct ChildSpec {
    std::string program;                 // a path, or a name looked up on PATH
    std::vector<std::string> arguments;  // argv[1...]; argv[0] is the program
    // NAME=VALUE entries added to (or replacing those of) this process's environment; a bare
    // NAME removes that variable.
    std::vector<std::string> environment = {};
    std::filesystem::path workingDirectory = {};  // empty: this process's own
    bool pipeInput = false;   // standard input from writeInput(), else /dev/null
    bool keepErrors = false;  // standard error kept for errors(), else this process's own
    // Called with the child's pid once it has been reaped: removes what the program leaves
    // behind when a signal ends it.
    std::function<void(pid_t)> afterEnd = {};
};

// How a child ended: by exit (with its status) or by a signal.
struct ChildEnd {
    bool exited = false;
    int exitCode = 0;
    int signal = 0;

    // As a shell gives it: the exit status, or 128 + the signal.
    int status() const { return exited ? exitCode : 128 + signal; }
};

class ChildProcess : Pinned {
  public:
    // Starts the child; throws std::runtime_error when it cannot be started.
    explicit ChildProcess(const ChildSpec& launch);
    ~ChildProcess();

    // Everything read from the child's standard output so far.
    const std::string& output() const { return output_; }
    // With keepErrors: everything the child has written to its standard error so far.
    std::string errors() const { return errors_ ? errors_->content() : std::string(); }

    // Reads output until done(output()) holds, the output is closed or the timeout passes.
    // Returns whether done held.
    bool readUntil(const std::function<bool(const std::string&)>& done,
                   std::chrono::milliseconds timeout = kPatience);
    // Stops reading: the child's next write to its standard output finds no reader.
    void closeOutput();
    // With pipeInput: writes to the child's standard input (throws when it cannot), and ends it.
    void writeInput(std::string_view bytes) const;
    void closeInput();
    void sendSignal(int signal) const;
    pid_t pid() const { return pid_; }
    // Reads the rest of the output and reaps the child. Empty if it has not ended in time.
    std::optional<ChildEnd> wait(std::chrono::milliseconds timeout = kPatience);
    // Sends the signal, then waits.
    std::optional<ChildEnd> stop(int signal = SIGINT);

  private:
    // Reads what is available within the time left; false when nothing more can come.
    bool readSome(std::chrono::steady_clock::time_point deadline);

    pid_t pid_ = -1;
    std::function<void(pid_t)> afterEnd_;
    int readFd_ = -1;
    int writeFd_ = -1;
    bool reaped_ = false;
    std::string output_;
    std::optional<ScratchFile> errors_;
};

// A program run to its end: its status as a shell gives it (127 when it could not be started,
// -1 when it had not ended after five minutes and was killed), and what it printed.
struct ProgramResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs argv[0] (looked up on PATH when it has no slash) in dir (empty: here), with standard
// input from /dev/null.
ProgramResult runProgram(const std::vector<std::string>& argv,
                         const std::filesystem::path& dir = {});

// True when a program of that name is on PATH.
bool onPath(const std::string& name);

}  // namespace quorvane::testkit
