#include "export/output_backlog.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace quorvane::exporter {

OutputBacklog::OutputBacklog(int fd, std::size_t capacity, int wake, Clock::duration patience)
    : shared_(std::make_shared<Shared>()) {
    Shared& s = *shared_;
    s.fd = fd;
    s.wake = wake;
    s.capacity = capacity;
    struct stat info {};
    s.patience = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) ? Clock::duration::max() : patience;
    s.lastProgress = Clock::now();
    thread_ = std::thread([shared = shared_] { writeOut(shared); });
}

OutputBacklog::~OutputBacklog() {
    {
        const std::lock_guard lock(shared_->mutex);
        shared_->stopping = true;
    }
    shared_->changed.notify_all();
    // A reader that is still taking what is left gets it; one that has stopped is not waited for.
    if (drain(std::chrono::seconds(1))) {
        thread_.join();
    } else {
        thread_.detach();  // still waiting for a reader: it ends with the process
    }
}

void OutputBacklog::write(std::string_view bytes) {
    {
        const std::lock_guard lock(shared_->mutex);
        Shared& s = *shared_;
        if (s.state.gone) {
            return;
        }
        if (s.skipping) {
            const std::size_t newline = bytes.find('\n');
            if (newline == std::string_view::npos) {
                return;
            }
            bytes.remove_prefix(s.skipNewline ? newline + 1 : newline);
            s.skipping = false;
        }
        if (bytes.empty()) {
            return;
        }
        s.pending.append(bytes);
        s.state.empty = false;
        if (s.pending.size() > s.capacity && stopped(s, Clock::now())) {
            makeRoom(s);
            notify(s);
        }
    }
    shared_->changed.notify_all();
}

std::optional<OutputBacklog::Clock::duration> OutputBacklog::holdFor(Clock::time_point now) {
    const std::lock_guard lock(shared_->mutex);
    Shared& s = *shared_;
    if (s.state.gone || s.pending.size() <= s.capacity) {
        return std::nullopt;
    }
    if (stopped(s, now)) {
        makeRoom(s);
        notify(s);
        return std::nullopt;
    }
    s.held = true;
    // Without a write under way the thread is about to take everything, and says so.
    return s.writing ? s.patience - (now - s.lastProgress) : s.patience;
}

OutputBacklog::State OutputBacklog::state() const {
    const std::lock_guard lock(shared_->mutex);
    return shared_->state;
}

bool OutputBacklog::drain(std::chrono::milliseconds patience) {
    std::unique_lock lock(shared_->mutex);
    Shared& s = *shared_;
    while (!s.state.empty && !s.state.gone) {
        // Waits for as long as the reader takes something within each `patience`.
        const std::uint64_t before = s.progress;
        if (patience.count() == 0 ||
            !s.changed.wait_for(lock, patience, [&s, before] { return moved(s, before); })) {
            break;
        }
    }
    return s.state.empty || s.state.gone;
}

bool OutputBacklog::moved(const Shared& shared, std::uint64_t progress) {
    return shared.progress != progress || shared.state.empty || shared.state.gone;
}

bool OutputBacklog::stopped(const Shared& shared, Clock::time_point now) {
    return shared.writing && now - shared.lastProgress >= shared.patience;
}

void OutputBacklog::makeRoom(Shared& s) {
    std::string& pending = s.pending;
    // The first line may continue one whose start is out already: it stays, so that no line is
    // cut, and so does the newest, which is still being written.
    std::size_t from = 0;
    if (s.midLine) {
        const std::size_t end = pending.find('\n');
        from = end == std::string::npos ? pending.size() : end + 1;
    }
    std::size_t to = from;
    std::uint64_t lines = 0;
    while (pending.size() - (to - from) > s.capacity) {
        const std::size_t end = pending.find('\n', to);
        if (end == std::string::npos) {
            break;
        }
        to = end + 1;
        ++lines;
    }
    pending.erase(from, to - from);
    // Still too much: a single line is longer than the backlog. The newest goes whole, the rest
    // of it as it comes; one begun already is cut short, keeping its newline.
    const std::size_t last = pending.rfind('\n');
    const bool hasNewest = last != std::string::npos || !s.midLine;
    const std::size_t newest = last != std::string::npos ? last + 1 : 0;
    if (pending.size() > s.capacity && hasNewest && newest < pending.size()) {
        pending.erase(newest);
        s.skipping = true;
        s.skipNewline = true;
        ++lines;
    }
    if (pending.size() > s.capacity) {
        if (last == std::string::npos) {
            pending.clear();
            s.skipping = true;
            s.skipNewline = false;
        } else {
            pending.erase(0, last);
        }
        ++lines;
    }
    s.state.dropped += lines;
}

void OutputBacklog::writeOut(const std::shared_ptr<Shared>& shared) {
    Shared& s = *shared;
    std::string chunk;
    std::unique_lock lock(s.mutex);
    for (;;) {
        s.changed.wait(lock, [&] { return !s.pending.empty() || s.stopping; });
        if (s.pending.empty()) {
            return;
        }
        // Everything at once: one write for a burst of lines rather than one per line.
        chunk.swap(s.pending);
        s.midLine = chunk.back() != '\n';
        s.writing = true;
        s.lastProgress = Clock::now();
        if (s.held) {
            s.held = false;
            notify(s);
        }
        lock.unlock();
        int error = 0;
        writeWhole(s, chunk, error);
        chunk.clear();
        lock.lock();
        s.writing = false;
        const State before = s.state;
        s.state.error = error;
        s.state.gone = s.state.gone || error == EPIPE;
        s.state.empty = s.pending.empty();
        if (s.state.gone) {
            s.pending.clear();
            s.skipping = false;
            s.state.empty = true;
        }
        if (before.error != s.state.error || before.gone != s.state.gone ||
            (s.state.empty && s.state.dropped != 0)) {
            notify(s);
        }
        s.changed.notify_all();
    }
}

bool OutputBacklog::writeWhole(Shared& shared, std::string_view bytes, int& error) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(shared.fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            // A descriptor in non-blocking mode: wait until the reader has made room.
            pollfd ready{shared.fd, POLLOUT, 0};
            poll(&ready, 1, -1);
            continue;
        }
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
        {
            const std::lock_guard lock(shared.mutex);
            shared.lastProgress = Clock::now();
            ++shared.progress;
        }
        shared.changed.notify_all();
    }
    return true;
}

void OutputBacklog::notify(const Shared& shared) {
    const std::uint64_t one = 1;
    // An eventfd counts; a full counter already says there is news.
    [[maybe_unused]] const ssize_t n = ::write(shared.wake, &one, sizeof one);
}

}  // namespace quorvane::exporter
