// Runs a program as a child process for tests that look at it from outside: its standard output
// arrives on a pipe and is read as it comes, signals can be sent to it, and its end is collected.
// The child never outlives the object: the destructor kills and reaps it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::test {

struct ChildSpec {
    std::string program;                 // path of the executable
    std::vector<std::string> arguments;  // argv[1..]; argv[0] is the program path
    // NAME=VALUE entries added to (or replacing those of) this process's environment; a bare
    // NAME removes that variable.
    std::vector<std::string> environment;
    std::string workingDirectory;  // empty: this process's own
    bool pipeInput = false;        // standard input from writeInput(), else /dev/null
    std::string errorFile{};       // standard error into this file, else this process's own
};

// How a child ended: by exit (with its status) or by a signal.
struct ChildEnd {
    bool exited = false;
    int exitCode = 0;
    int signal = 0;
};

class ChildProcess {
  public:
    // Starts the child; throws std::runtime_error when it cannot be started.
    explicit ChildProcess(const ChildSpec& launch);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ChildProcess(ChildProcess&&) = delete;
    ChildProcess& operator=(ChildProcess&&) = delete;

    pid_t pid() const { return pid_; }

    // Everything read from the child's standard output so far.
    const std::string& output() const { return output_; }
    // True once the child has closed its standard output.
    bool outputClosed() const { return readFd_ < 0; }

    // Reads output until done(output()) holds, the output is closed or the timeout passes.
    // Returns whether done held.
    bool readUntil(const std::function<bool(const std::string&)>& done,
                   std::chrono::milliseconds timeout);
    // Reads until the child closes its output, or the timeout passes; returns whether it closed.
    bool readToEnd(std::chrono::milliseconds timeout);

    // Stops reading: the child's next write to its standard output finds no reader.
    void closeOutput();
    void sendSignal(int signal) const;
    // With pipeInput: writes to the child's standard input (throws when it cannot), and ends it.
    void writeInput(std::string_view bytes) const;
    void closeInput();
    // Reads the rest of the output and reaps the child. Empty if it has not ended in time.
    std::optional<ChildEnd> wait(std::chrono::milliseconds timeout);

  private:
    // Reads what is available within the time left; false when nothing more can come.
    bool readSome(std::chrono::steady_clock::time_point deadline);

    pid_t pid_ = -1;
    int readFd_ = -1;
    int writeFd_ = -1;
    bool reaped_ = false;
    std::string output_;
};

}  // namespace quorvane::test
