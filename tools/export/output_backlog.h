// An output that never makes the exporter wait in a write: what is written goes into a backlog
// that a thread of its own writes out, as fast as the reader takes it (through a full pipe, a
// stalled journal, a descriptor in non-blocking mode). Past its capacity the exporter is asked to
// hold back, so that a reader that keeps up loses nothing, however fast a burst comes; only a
// reader that has taken nothing for a while counts as stopped, and then the oldest whole lines
// are dropped and counted, never a part of one. A regular file always takes what is written, so
// it is never given up on. The exporter is told of every change through a wake-up descriptor.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace quorvane::exporter {

class OutputBacklog {
  public:
    using Clock = std::chrono::steady_clock;

    // What has happened to the output, for the exporter to report.
    struct State {
        bool gone = false;          // the reader has closed its end (EPIPE)
        int error = 0;              // the last write's error number; 0 when it succeeded
        std::uint64_t dropped = 0;  // lines dropped since the exporter started
        bool empty = true;          // everything written so far has been written out
    };

    // `wake` is written to (eight bytes, as to an eventfd) whenever the state changes and when
    // room comes after a hold. A reader that takes nothing for `patience` counts as stopped.
    OutputBacklog(int fd, std::size_t capacity, int wake, Clock::duration patience);
    ~OutputBacklog();
    OutputBacklog(const OutputBacklog&) = delete;
    OutputBacklog& operator=(const OutputBacklog&) = delete;

    // Never waits. Past the capacity with a stopped reader, the oldest whole lines make room.
    void write(std::string_view bytes);
    // Whether the exporter should write nothing more for now: none when there is room, or when
    // the reader counts as stopped; else how long until it would.
    std::optional<Clock::duration> holdFor(Clock::time_point now);
    State state() const;
    // Waits until everything is written out, or until no write has made progress for `patience`;
    // returns whether everything was written.
    bool drain(std::chrono::milliseconds patience);

  private:
    // Shared with the writing thread, which may outlive this object when the reader never comes
    // back: the process then ends with the thread still waiting in its write.
    struct Shared {
        int fd;
        int wake;
        std::size_t capacity;
        Clock::duration patience;
        std::mutex mutex;
        std::condition_variable changed;
        std::string pending;             // not yet taken by the writing thread
        bool midLine = false;            // what was taken ends inside a line, which `pending` ends
        bool skipping = false;           // the rest of an over-long line is being dropped...
        bool skipNewline = false;        // ...its newline too (its start was never written)
        bool writing = false;            // the thread holds bytes it has not written whole
        Clock::time_point lastProgress;  // when the thread last took or wrote bytes
        std::uint64_t progress = 0;      // writes that moved bytes, to see progress
        bool held = false;               // the exporter holds back until there is room
        bool stopping = false;
        State state;
    };
    static void writeOut(const std::shared_ptr<Shared>& shared);
    static bool writeWhole(Shared& shared, std::string_view bytes, int& error);
    static void notify(const Shared& shared);
    // Whether the reader has taken nothing for the patience while bytes wait for it.
    static bool stopped(const Shared& shared, Clock::time_point now);
    // Drops the oldest whole lines until what waits fits the capacity.
    static void makeRoom(Shared& shared);
    // Whether the writing thread has written anything since `progress`, or is done.
    static bool moved(const Shared& shared, std::uint64_t progress);

    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

}  // namespace quorvane::exporter
