#include "export/output_backlog.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace quorvane::exporter {

OutputBacklog::OutputBacklog(int fd, std::size_t capacity, int wake)
    : shared_(std::make_shared<Shared>()) {
    shared_->fd = fd;
    shared_->wake = wake;
    shared_->capacity = capacity;
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
    if (bytes.empty()) {
        return;
    }
    {
        const std::lock_guard lock(shared_->mutex);
        Shared& s = *shared_;
        if (s.state.gone) {
            return;
        }
        s.pieces.emplace_back(bytes);
        s.bytes += bytes.size();
        s.state.empty = false;
        bool dropped = false;
        while (s.bytes > s.capacity && s.pieces.size() > 1) {
            const std::string& oldest = s.pieces.front();
            s.state.dropped +=
                static_cast<std::uint64_t>(std::count(oldest.begin(), oldest.end(), '\n'));
            s.bytes -= oldest.size();
            s.pieces.pop_front();
            dropped = true;
        }
        if (dropped) {
            notify(s);
        }
    }
    shared_->changed.notify_all();
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
        const std::uint64_t before = s.written;
        if (patience.count() == 0 ||
            !s.changed.wait_for(lock, patience, [&s, before] { return moved(s, before); })) {
            break;
        }
    }
    return s.state.empty || s.state.gone;
}

bool OutputBacklog::moved(const Shared& shared, std::uint64_t written) {
    return shared.written != written || shared.state.empty || shared.state.gone;
}

void OutputBacklog::writeOut(const std::shared_ptr<Shared>& shared) {
    Shared& s = *shared;
    std::unique_lock lock(s.mutex);
    for (;;) {
        s.changed.wait(lock, [&] { return !s.pieces.empty() || s.stopping; });
        if (s.pieces.empty()) {
            return;
        }
        const std::string piece = std::move(s.pieces.front());
        s.pieces.pop_front();
        s.bytes -= piece.size();
        lock.unlock();
        int error = 0;
        const bool whole = writeWhole(s.fd, piece, error);
        lock.lock();
        ++s.written;
        const State before = s.state;
        s.state.error = error;
        s.state.gone = s.state.gone || error == EPIPE;
        s.state.empty = s.pieces.empty();
        if (s.state.gone) {
            s.pieces.clear();
            s.bytes = 0;
            s.state.empty = true;
        }
        if (before.error != s.state.error || before.gone != s.state.gone ||
            (s.state.empty && (before.dropped != 0 || !whole))) {
            notify(s);
        }
        s.changed.notify_all();
    }
}

bool OutputBacklog::writeWhole(int fd, std::string_view bytes, int& error) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            // A descriptor in non-blocking mode: wait until the reader has made room.
            pollfd ready{fd, POLLOUT, 0};
            poll(&ready, 1, -1);
            continue;
        }
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void OutputBacklog::notify(const Shared& shared) {
    const std::uint64_t one = 1;
    // An eventfd counts; a full counter already says there is news.
    [[maybe_unused]] const ssize_t n = ::write(shared.wake, &one, sizeof one);
}

}  // namespace quorvane::exporter
