// An output that never holds up the exporter: what is written goes into a bounded backlog that a
// thread of its own writes out, waiting for as long as the reader needs (through a full pipe, a
// stalled journal, a descriptor in non-blocking mode). When the backlog is full the oldest pieces
// are dropped and counted; the exporter is told of every change through a wake-up descriptor.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace quorvane::exporter {

class OutputBacklog {
  public:
    // What has happened to the output, for the exporter to report.
    struct State {
        bool gone = false;          // the reader has closed its end (EPIPE)
        int error = 0;              // the last write's error number; 0 when it succeeded
        std::uint64_t dropped = 0;  // lines dropped since the exporter started
        bool empty = true;          // everything written so far has been written out
    };

    // `wake` is written to (eight bytes, as to an eventfd) whenever the state changes.
    OutputBacklog(int fd, std::size_t capacity, int wake);
    ~OutputBacklog();
    OutputBacklog(const OutputBacklog&) = delete;
    OutputBacklog& operator=(const OutputBacklog&) = delete;

    void write(std::string_view bytes);
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
        std::mutex mutex;
        std::condition_variable changed;
        std::deque<std::string> pieces;
        std::size_t bytes = 0;
        std::uint64_t written = 0;  // pieces written out, to see progress
        bool writing = false;       // a piece is out of the queue and being written
        bool stopping = false;
        State state;
    };
    static void writeOut(const std::shared_ptr<Shared>& shared);
    static bool writeWhole(int fd, std::string_view bytes, int& error);
    static void notify(const Shared& shared);
    // Whether the writing thread has written anything since `written`, or is done.
    static bool moved(const Shared& shared, std::uint64_t written);

    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

}  // namespace quorvane::exporter
