// quorvane-export: passes on what a quorvane program prints and exports each measurement the
// moment it is complete: as a line of its own, as JSON, as Prometheus metrics in a text file for
// node_exporter, and over MQTT. The program's output is read from standard input, or from the
// program run as a child, so that a service manager has one process to start and stop. Each
// output waits on its own, so none holds up the others; the program is read at full pace but for
// a burst that a reader of standard output or standard error takes more slowly than it comes,
// which the program waits for rather than lose lines, until that reader has stopped.
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
// hours of records, bounded. Past it the program is read no further while the reader takes
// something; one that takes nothing for the patience counts as stopped.
constexpr std::size_t kOutputBacklog = 1 << 20;
constexpr std::size_t kErrorBacklog = 64 << 10;
constexpr std::chrono::seconds kReaderPatience{2};
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

// What happened to standard output or standard error, said once per spell.
class OutputWatch {
  public:
    OutputWatch(std::string name, exporter::OutputBacklog& out, std::size_t capacity)
        : name_(std::move(name)), out_(out), capacity_(capacity), errors_(name_) {}

    void check() {
        const exporter::OutputBacklog::State state = out_.state();
        if (state.error != 0) {
            errors_.failed(std::strerror(state.error));
        } else {
            errors_.succeeded();
        }
        if (state.dropped > reported_ && !dropping_) {
            tools::report(kProgram, name_ + " is not being read; keeping the newest " +
                                        std::to_string(capacity_ >> 10) +
                                        " KiB for it and dropping the oldest lines");
            dropping_ = true;
        }
        if (dropping_ && state.empty) {
            tools::report(kProgram, name_ + " is read again; " +
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
                          name_ + " is not being read; ending without the lines it has not taken");
        } else if (dropping_) {
            tools::report(kProgram, std::to_string(out_.state().dropped - reported_) +
                                        " lines of " + name_ + " were dropped");
        }
        return drained && out_.state().dropped == 0 && !errors_.failing();
    }
    bool gone() const { return gone_; }
    std::optional<std::chrono::steady_clock::duration> holdFor(
        std::chrono::steady_clock::time_point now) {
        return out_.holdFor(now);
    }

  private:
    std::string name_;
    exporter::OutputBacklog& out_;
    std::size_t capacity_;
    FailureSpell errors_;
    std::uint64_t reported_ = 0;
    bool dropping_ = false;
    bool gone_ = false;
};

// The longest wait of the loop, so that nothing it serves waits on a value it cannot hold.
constexpr std::chrono::milliseconds kLongestWait{60000};
// The program's messages end without a newline: one that is not a record ends its line when the
// program has written nothing more for this long, and not at a pause between two of its writes,
// which may fall inside a line.
constexpr std::chrono::milliseconds kPause{500};

// Reads the program's output to its end, serving the other outputs as it goes; false when
// reading failed. While standard output or standard error has more waiting than it keeps for a
// reader, the program is read no further, so that a reader that keeps up loses nothing.
bool pump(int fd, int wake, exporter::Exporter& exporter, Metrics& metrics,
          const std::array<OutputWatch*, 2>& outputs, exporter::MqttLink* mqtt) {
    std::array<char, 65536> buffer{};
    // When the program counts as paused, after a read that took everything that was waiting.
    std::optional<std::chrono::steady_clock::time_point> pauseAt;
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        std::optional<std::chrono::steady_clock::duration> wait;
        if (mqtt != nullptr) {
            wait = mqtt->untilDue(now);
        }
        bool held = false;
        for (OutputWatch* output : outputs) {
            if (const auto hold = output->holdFor(now)) {
                held = true;
                wait = std::min(wait.value_or(*hold), *hold);
            }
        }
        // Only the program pauses: a wait of the exporter's own is no pause of it.
        if (pauseAt && !held) {
            const auto left = std::max<std::chrono::steady_clock::duration>(*pauseAt - now, {});
            wait = std::min(wait.value_or(left), left);
        }
        const int timeout =
            wait ? static_cast<int>(
                       std::chrono::ceil<std::chrono::milliseconds>(
                           std::min<std::chrono::steady_clock::duration>(*wait, kLongestWait))
                           .count())
                 : -1;
        // A negative descriptor is left out of the wait.
        std::array<pollfd, 2> ready{{{held ? -1 : fd, POLLIN, 0}, {wake, POLLIN, 0}}};
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
                exporter.input(std::string_view(buffer.data(), size), false);
                // A read that did not fill the buffer took everything that was waiting.
                pauseAt.reset();
                if (size < buffer.size()) {
                    pauseAt = std::chrono::steady_clock::now() + kPause;
                }
                // The records that arrived together are published together.
                if (exporter.takeChanged()) {
                    metrics.publish(exporter.readings());
                }
            }
        } else if (pauseAt && !held && std::chrono::steady_clock::now() >= *pauseAt) {
            exporter.input({}, true);
            pauseAt.reset();
        }
        if (mqtt != nullptr) {
            mqtt->handle(std::chrono::steady_clock::now());
        }
        for (OutputWatch* output : outputs) {
            output->check();
        }
        if (outputs[0]->gone()) {
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
    exporter::OutputBacklog errors(STDERR_FILENO, kErrorBacklog, wake, kReaderPatience);
    BacklogBuffer errorBuffer(errors);
    const ErrorsThrough errorsThrough(errorBuffer);
    OutputWatch err("standard error", errors, kErrorBacklog);
    exporter::OutputBacklog output(STDOUT_FILENO, kOutputBacklog, wake, kReaderPatience);
    OutputWatch out("standard output", output, kOutputBacklog);
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

    const bool read = pump(input, wake, exporter, metrics, {&out, &err}, mqtt ? &*mqtt : nullptr);
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
    // Standard error last: it takes what the others had to say.
    const bool said = err.finish();
    if (!options.program.empty()) {
        return out.gone() ? kFailure : status;
    }
    return read && written && said && !out.gone() && !metrics.failing() ? 0 : kFailure;
}

}  // namespace

int main(int argc, char* argv[]) {
    return tools::toolMain(kProgram, exporter::kExportUsage, argc, argv,
                           exporter::parseExportOptions, run);
}
