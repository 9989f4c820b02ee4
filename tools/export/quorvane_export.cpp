// quorvane-export: passes on what a quorvane program prints and exports each measurement the
// moment it is complete: as a line of its own, as JSON, as Prometheus metrics in a text file for
// node_exporter, and over MQTT. The program's output is read from standard input, or from the
// program run as a child, so that a service manager has one process to start and stop. It is read
// at full pace whatever the outputs do: each output waits on its own, so none holds up the others
// or the program.
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <iostream>
#include <optional>
#include <streambuf>
#include <string>
#include <utility>

#include "common/command_line.h"
#include "common/process.h"
#include "export/export_options.h"
#include "export/exporter.h"
#include "export/mqtt_link.h"
#include "export/output_backlog.h"
#include "export/service_notifier.h"
#include "export/textfile.h"

namespace {

using namespace quorvane;

constexpr const char* kProgram = "quorvane-export";
using tools::kFailure;
constexpr int kCannotRun = 127;
constexpr int kCannotExecute = 126;
// Standard output keeps up to this much for a reader that has stopped, then drops the oldest:
// hours of records, bounded.
constexpr std::size_t kOutputBacklog = 1 << 20;
constexpr std::size_t kErrorBacklog = 64 << 10;
// At the end, how long a reader that takes nothing more is waited for.
constexpr std::chrono::seconds kEndPatience{5};

// The child that the signals are passed on to. A signal handler can reach nothing else.
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

class Metrics {
  public:
    Metrics(std::optional<std::string> path, std::string sensor, exporter::Offset offset)
        : sensor_(std::move(sensor)), offset_(offset) {
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
        if (file_->replace(exporter::exposition(readings, sensor_, offset_), reason)) {
            spell_->succeeded();
        } else {
            spell_->failed(reason);
        }
    }
    bool failing() const { return spell_ && spell_->failing(); }

  private:
    std::string sensor_;
    exporter::Offset offset_;
    std::optional<exporter::Textfile> file_;
    std::optional<FailureSpell> spell_;
};

// Standard error through its own backlog, so that a stalled journal holds up no report: what the
// exporter and the library write to std::cerr goes there a line at a time.
class BacklogBuffer : public std::streambuf {
  public:
    explicit BacklogBuffer(exporter::OutputBacklog& to) : to_(to) {}
    BacklogBuffer(const BacklogBuffer&) = delete;
    BacklogBuffer& operator=(const BacklogBuffer&) = delete;
    ~BacklogBuffer() override { flush(); }

  protected:
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            pending_.push_back(traits_type::to_char_type(c));
        }
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* bytes, std::streamsize n) override {
        pending_.append(bytes, static_cast<std::size_t>(n));
        return n;
    }
    int sync() override {
        if (pending_.ends_with('\n') || pending_.size() > 4096) {
            flush();
        }
        return 0;
    }

  private:
    void flush() {
        to_.write(pending_);
        pending_.clear();
    }
    exporter::OutputBacklog& to_;
    std::string pending_;
};

// Puts std::cerr on a buffer for the life of this object.
class ErrorsThrough {
  public:
    explicit ErrorsThrough(std::streambuf& buffer) : old_(std::cerr.rdbuf(&buffer)) {}
    ~ErrorsThrough() {
        std::cerr.flush();
        std::cerr.rdbuf(old_);
    }
    ErrorsThrough(const ErrorsThrough&) = delete;
    ErrorsThrough& operator=(const ErrorsThrough&) = delete;

  private:
    std::streambuf* old_;
};

// What happened to standard output, said once per spell.
class OutputWatch {
  public:
    explicit OutputWatch(exporter::OutputBacklog& out) : out_(out) {}

    void check() {
        const exporter::OutputBacklog::State state = out_.state();
        if (state.error != 0) {
            errors_.failed(std::strerror(state.error));
        } else {
            errors_.succeeded();
        }
        if (state.dropped > reported_ && !dropping_) {
            tools::report(kProgram, "standard output is not being read; keeping the newest " +
                                        std::to_string(kOutputBacklog >> 10) +
                                        " KiB for it and dropping the oldest lines");
            dropping_ = true;
        }
        if (dropping_ && state.empty) {
            tools::report(kProgram, "standard output is read again; " +
                                        std::to_string(state.dropped - reported_) +
                                        " lines were dropped");
            reported_ = state.dropped;
            dropping_ = false;
        }
        gone_ = state.gone;
    }
    // At the end: what could not be written is counted.
    bool finish() {
        const bool drained = out_.drain(kEndPatience);
        check();
        if (!drained) {
            tools::report(kProgram,
                          "standard output is not being read; ending without "
                          "the lines it has not taken");
        } else if (dropping_) {
            tools::report(kProgram, std::to_string(out_.state().dropped - reported_) +
                                        " lines of standard output were dropped");
        }
        return drained && out_.state().dropped == 0 && !errors_.failing();
    }
    bool gone() const { return gone_; }

  private:
    exporter::OutputBacklog& out_;
    FailureSpell errors_{"standard output"};
    std::uint64_t reported_ = 0;
    bool dropping_ = false;
    bool gone_ = false;
};

// Reads the program's output to its end, serving the other outputs as it goes; false when
// reading failed.
bool pump(int fd, int wake, exporter::Exporter& exporter, Metrics& metrics, OutputWatch& out,
          exporter::MqttLink* mqtt) {
    std::array<char, 65536> buffer{};
    for (;;) {
        const auto now = exporter::MqttLink::Clock::now();
        int timeout = -1;
        if (mqtt != nullptr) {
            if (const auto due = mqtt->untilDue(now)) {
                timeout = static_cast<int>(std::min<long long>(due->count(), 60000));
            }
        }
        std::array<pollfd, 2> ready{{{fd, POLLIN, 0}, {wake, POLLIN, 0}}};
        if (poll(ready.data(), ready.size(), timeout) < 0) {
            if (errno == EINTR) {
                continue;
            }
            tools::report(kProgram, std::string("cannot wait for input: ") + std::strerror(errno));
            exporter.end();
            return false;
        }
        if (ready[1].revents != 0) {
            std::uint64_t news = 0;
            [[maybe_unused]] const ssize_t n = read(wake, &news, sizeof news);
        }
        if (ready[0].revents != 0) {
            const ssize_t n = read(fd, buffer.data(), buffer.size());
            if (n < 0 && errno != EINTR && errno != EAGAIN) {
                tools::report(kProgram, std::string("cannot read the program's output: ") +
                                            std::strerror(errno));
                exporter.end();
                return false;
            }
            if (n == 0) {
                exporter.end();
                return true;
            }
            if (n > 0) {
                const auto size = static_cast<std::size_t>(n);
                // A read that did not fill the buffer took everything that was waiting.
                exporter.input(std::string_view(buffer.data(), size), size < buffer.size());
                // The records that arrived together are published together.
                if (exporter.takeChanged()) {
                    metrics.publish(exporter.readings());
                }
            }
        }
        if (mqtt != nullptr) {
            mqtt->handle(exporter::MqttLink::Clock::now());
        }
        out.check();
        if (out.gone()) {
            return true;
        }
    }
}

// The signals wait until the child's number is known, so none is lost between.
sigset_t passedOnSignals() {
    sigset_t passedOn;
    sigemptyset(&passedOn);
    for (const int sig : tools::kPassedOn) {
        sigaddset(&passedOn, sig);
    }
    return passedOn;
}

int run(const exporter::ExportOptions& options) {
    // A reader that goes away shows as EPIPE on the next write, not as a silent death.
    signal(SIGPIPE, SIG_IGN);

    // The child first, while this is the only thread: it is made by fork.
    tools::PipedProgram child;
    int input = STDIN_FILENO;
    if (!options.program.empty()) {
        const sigset_t passedOn = passedOnSignals();
        sigprocmask(SIG_BLOCK, &passedOn, nullptr);
        struct sigaction action {};
        action.sa_handler = forward;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        for (const int sig : tools::kPassedOn) {
            sigaction(sig, &action, nullptr);
        }
        const int error = tools::startPiped(options.program, child);
        if (error != 0) {
            tools::report(kProgram,
                          "cannot run " + options.program.front() + ": " + std::strerror(error));
            return error == ENOENT ? kCannotRun : kCannotExecute;
        }
        gChild = child.pid;
        sigprocmask(SIG_UNBLOCK, &passedOn, nullptr);
        input = child.output;
    }

    const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        return tools::reportFailure(kProgram,
                                    std::string("cannot make an event: ") + std::strerror(errno));
    }
    exporter::OutputBacklog errors(STDERR_FILENO, kErrorBacklog, wake);
    BacklogBuffer errorBuffer(errors);
    const ErrorsThrough errorsThrough(errorBuffer);
    exporter::OutputBacklog output(STDOUT_FILENO, kOutputBacklog, wake);
    OutputWatch out(output);
    Metrics metrics(options.textfile, options.sensor, options.offset);
    exporter::Exporter exporter(
        options.format, [&output](std::string_view bytes) { output.write(bytes); },
        [] { return std::time(nullptr); },
        // Beside the JSON lines the program's own messages (a refused port, a log that cannot be
        // written) must still reach someone.
        [&errors](std::string_view bytes) { errors.write(bytes); }, options.offset);
    std::optional<exporter::MqttLink> mqtt;
    if (options.mqtt) {
        mqtt.emplace(*options.mqtt, QUORVANE_VERSION, wake);
    }
    const exporter::ServiceNotifier notifier;
    exporter.onRecord([&mqtt, &notifier](const exporter::Exported& record) {
        if (mqtt) {
            const auto now = exporter::MqttLink::Clock::now();
            if (record.good) {
                mqtt->reading(record.json, now);
            } else {
                mqtt->failure(record.json, now);
            }
        }
        notifier.record(record.text);
    });
    // The file says at once that no reading has come yet, rather than showing one from before.
    metrics.publish(exporter.readings());
    notifier.ready();

    const bool read = pump(input, wake, exporter, metrics, out, mqtt ? &*mqtt : nullptr);
    notifier.stopping();
    int status = 0;
    if (!options.program.empty()) {
        close(child.output);
        if (out.gone()) {
            // The child would find its own output gone at its next line; it is told at once.
            kill(child.pid, SIGTERM);
        }
        status = tools::waitForExit(child.pid);
        gChild = 0;
    }
    if (mqtt) {
        mqtt->stop();
    }
    // The wake-up descriptor stays open: the outputs' threads may still write to it.
    const bool written = out.finish();
    if (!options.program.empty()) {
        return out.gone() ? kFailure : status;
    }
    return read && written && !out.gone() && !metrics.failing() ? 0 : kFailure;
}

}  // namespace

int main(int argc, char* argv[]) {
    return tools::toolMain(kProgram, exporter::kExportUsage, argc, argv,
                           exporter::parseExportOptions, run);
}
