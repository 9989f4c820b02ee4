// Something to happen at a chosen port access: a fault that strikes mid-transaction, or the
// program killed there.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <utility>

namespace quorvane::sim {

// Thrown from a port access chosen with Simulation::killAtAccess: the program dies there, in the
// middle of whatever it was doing, and the chip and the port latches stay as they were.
class ProcessKilled : public std::runtime_error {
  public:
    ProcessKilled() : std::runtime_error("process killed by the simulation") {}
};

// One action, armed for the n-th port access from now.
class AccessHook {
  public:
    using Action = std::function<void()>;

    // `action` runs at the n-th access from now (1 = the next); 0 or no action disarms.
    void arm(std::uint64_t n, Action action) {
        countdown_ = action ? n : 0;
        action_ = countdown_ != 0 ? std::move(action) : nullptr;
    }
    void disarm() { arm(0, nullptr); }
    bool armed() const { return countdown_ != 0; }
    // Counts an access: the action if this is its access (the hook is then disarmed), or none.
    Action countAccess() {
        if (countdown_ == 0 || --countdown_ != 0) {
            return nullptr;
        }
        return std::exchange(action_, nullptr);
    }

  private:
    std::uint64_t countdown_ = 0;
    Action action_;
};

}  // namespace quorvane::sim
