// The adapter board between the port and the chip: the chip's supply and address pins from the
// port's lines, SDA as the wired AND of both sides, and whoever watches the wires.
#pragma once

#include <functional>
#include <utility>

#include "sim/bus_decoder.h"
#include "sim/ds1621.h"
#include "sim/faults.h"
#include "sim/parallel_port.h"
#include "sim/sim_clock.h"

namespace quorvane::sim {

// Every wire after a change of any of them: the master's, the device's pull and the SDA line
// itself.
struct LineState : MasterLines {
    Micros time = 0;
    bool sda = true;  // high unless pulled low
    bool devicePullsSdaLow = false;
    friend bool operator==(const LineState&, const LineState&) = default;
};

class Board {
  public:
    using LineObserver = std::function<void(const LineState&)>;

    // The chip answers through the decoder, which sees the lines as the chip does.
    Board(Ds1621& chip, BusDecoder& decoder) : chip_(chip), decoder_(decoder) {}

    // Power-up: no observer, the chip's decoder idle on the lines as they are.
    void reset(const MasterLines& master, const Faults& faults, Micros at);
    // After any change of the master's lines or of the faults; `at` is the time of the change,
    // a fault's edge being seen only after it.
    void update(const MasterLines& master, const Faults& faults, Micros at);

    const LineState& state() const { return state_; }
    void setObserver(LineObserver observer) { observer_ = std::move(observer); }

  private:
    void publish(const MasterLines& master, bool deviceLow, SdaStuck stuck, Micros at);

    Ds1621& chip_;
    BusDecoder& decoder_;
    LineState state_;
    LineObserver observer_;
};

}  // namespace quorvane::sim
