// Sits between the bit-level decoder and the chip and withholds acknowledges as the faults say.
#pragma once

#include <cstdint>

#include "sim/bus_decoder.h"
#include "sim/faults.h"

namespace quorvane::sim {

class AckGate final : public BusTarget {
  public:
    AckGate(BusTarget& chip, Faults& faults) : chip_(chip), faults_(faults) {}
    void start() override { chip_.start(); }
    void stop() override { chip_.stop(); }
    bool address(std::uint8_t byte) override {
        return faults_.refusesAcknowledge() ? false : counted(chip_.address(byte));
    }
    bool write(std::uint8_t byte) override {
        return faults_.refusesAcknowledge() ? false : counted(chip_.write(byte));
    }
    std::uint8_t read() override { return chip_.read(); }

  private:
    // An acknowledge spends one of the budget, if there is one.
    bool counted(bool acknowledged) {
        if (acknowledged && faults_.acknowledgeBudget) {
            --*faults_.acknowledgeBudget;
        }
        return acknowledged;
    }
    BusTarget& chip_;
    Faults& faults_;
};

}  // namespace quorvane::sim
