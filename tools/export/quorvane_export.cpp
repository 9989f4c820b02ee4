// quorvane-export: passes on what a quorvane program prints and exports each measurement the
// moment it is complete: as a line of its own, as JSON, and as Prometheus metrics in a text file
// for node_exporter. The program's output is read from standard input, or from the program run
// as a child, so that a service manager has one process to start and stop.
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <iostream>
#include <optional>
#include <string>

#include "common/command_line.h"
#include "common/process.h"
#include "export/export_options.h"
#include "export/exporter.h"
#include "export/textfile.h"

namespace {

using namespace quorvane;

constexpr const char* kProgram = "quorvane-export";
using tools::kFailure;
constexpr int kCannotRun = 127;
constexpr int kCannotExecute = 126;

// The child that SIGINT and SIGTERM are passed on to. A signal handler can reach nothing else.
volatile sig_atomic_t gChild = 0;

void forward(int signal) {
    if (gChild > 0) {
        kill(static_cast<pid_t>(gChild), signal);
    }
}

// A failure that may last: reported on standard error when it begins, and when it ends, but not
// for every attempt in between.
class FailureSpell {
  public:
    explicit FailureSpell(std::string what) : what_(std::move(what)) {}

    void failed(const std::string& reason) {
        if (!failing_) {
            tools::report(kProgram, "cannot write " + what_ + ": " + reason +
                                        "; going on, and trying again after each record");
        }
        failing_ = true;
    }
    void succeeded() {
        if (failing_) {
            tools::report(kProgram, what_ + " written again");
        }
        failing_ = false;
    }
    bool failing() const { return failing_; }

  private:
    std::string what_;
    bool failing_ = false;
};

// Standard output, written with one system call per piece, so that each line leaves at once.
class Output {
  public:
    void write(std::string_view bytes) {
        while (!bytes.empty() && !gone_) {
            const ssize_t n = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno == EPIPE) {
                gone_ = true;  // nobody reads any more: the export ends
                return;
            }
            if (n <= 0) {
                spell_.failed(n < 0 ? std::strerror(errno) : "nothing written");
                return;
            }
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        if (!gone_) {
            spell_.succeeded();
        }
    }
    bool gone() const { return gone_; }
    bool failing() const { return spell_.failing(); }

  private:
    FailureSpell spell_{"standard output"};
    bool gone_ = false;
};

class Metrics {
  public:
    explicit Metrics(std::optional<std::string> path) {
        if (path) {
            file_.emplace(*path);
            spell_.emplace(*path);
        }
    }
    void publish(const exporter::Readings& readings) {
        if (!file_) {
            return;
        }
        std::string reason;
        if (file_->replace(exporter::exposition(readings), reason)) {
            spell_->succeeded();
        } else {
            spell_->failed(reason);
        }
    }
    bool failing() const { return spell_ && spell_->failing(); }

  private:
    std::optional<exporter::Textfile> file_;
    std::optional<FailureSpell> spell_;
};

// Reads the program's output to its end; false when reading failed.
bool pump(int fd, exporter::Exporter& exporter, Metrics& metrics, const Output& out) {
    std::array<char, 65536> buffer{};
    for (;;) {
        const ssize_t n = read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            tools::report(kProgram,
                          std::string("cannot read the program's output: ") + std::strerror(errno));
            exporter.end();
            return false;
        }
        if (n == 0) {
            exporter.end();
            return true;
        }
        const auto size = static_cast<std::size_t>(n);
        // A read that did not fill the buffer took everything that was waiting.
        exporter.input(std::string_view(buffer.data(), size), size < buffer.size());
        // The records that arrived together are published together.
        if (exporter.takeChanged()) {
            metrics.publish(exporter.readings());
        }
        if (out.gone()) {
            return true;
        }
    }
}

int runChild(const std::vector<std::string>& program, exporter::Exporter& exporter,
             Metrics& metrics, const Output& out) {
    // The signals wait until the child's number is known, so none is lost between.
    sigset_t passedOn;
    sigemptyset(&passedOn);
    sigaddset(&passedOn, SIGINT);
    sigaddset(&passedOn, SIGTERM);
    sigprocmask(SIG_BLOCK, &passedOn, nullptr);
    struct sigaction action {};
    action.sa_handler = forward;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    tools::PipedProgram child;
    const int error = tools::startPiped(program, child);
    if (error != 0) {
        tools::report(kProgram, "cannot run " + program.front() + ": " + std::strerror(error));
        return error == ENOENT ? kCannotRun : kCannotExecute;
    }
    gChild = child.pid;
    sigprocmask(SIG_UNBLOCK, &passedOn, nullptr);

    pump(child.output, exporter, metrics, out);
    close(child.output);
    if (out.gone()) {
        // The child would find its own output gone at its next line; it is told at once.
        kill(child.pid, SIGTERM);
    }
    const int status = tools::waitForExit(child.pid);
    gChild = 0;
    return out.gone() ? kFailure : status;
}

int run(const exporter::ExportOptions& options) {
    // A reader that goes away shows as EPIPE on the next write, not as a silent death.
    signal(SIGPIPE, SIG_IGN);
    Output out;
    Metrics metrics(options.textfile);
    exporter::Exporter exporter(
        options.format, [&out](std::string_view bytes) { out.write(bytes); },
        [] { return std::time(nullptr); },
        // Beside the JSON lines the program's own messages (a refused port, a log that cannot be
        // written) must still reach someone.
        [](std::string_view bytes) { std::cerr.write(bytes.data(), std::ssize(bytes)); });
    // The file says at once that no reading has come yet, rather than showing one from before.
    metrics.publish(exporter.readings());

    if (!options.program.empty()) {
        return runChild(options.program, exporter, metrics, out);
    }
    const bool read = pump(STDIN_FILENO, exporter, metrics, out);
    return read && !out.gone() && !out.failing() && !metrics.failing() ? 0 : kFailure;
}

}  // namespace

int main(int argc, char* argv[]) {
    return tools::toolMain(kProgram, exporter::kExportUsage, argc, argv,
                           exporter::parseExportOptions, run);
}
