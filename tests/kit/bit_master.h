// A two-wire master that drives a simulated port register by register, with no delays: the
// simulator's tests and the bus fuzzer talk to the chip through it.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/simulation.h"

namespace quorvane::testkit {

class BitMaster {
  public:
    static constexpr std::uint16_t kData = 0x378;
    static constexpr std::uint16_t kStatus = 0x379;
    static constexpr std::uint16_t kControl = 0x37A;
    static constexpr std::uint8_t kClock = 0x80;       // data register: set is SCL high
    static constexpr std::uint8_t kDataPull = 0x08;    // control register: set pulls SDA low
    static constexpr std::uint8_t kDataLow = 0x10;     // status register: set while SDA is low
    static constexpr std::uint8_t kPoweredAt5 = 0xD7;  // SCL, A2, A0 and the supply bits

    // Skips the simulation's real sleeps and asks for its three registers.
    explicit BitMaster(sim::Simulation& sim);
    BitMaster(const BitMaster&) = delete;
    BitMaster& operator=(const BitMaster&) = delete;
    virtual ~BitMaster() = default;

    void powerUp(std::uint8_t data = kPoweredAt5);
    void scl(bool high);
    void sda(bool high);  // false pulls the line low
    bool sdaHigh();

    void start();
    void stop();
    // Sends a byte; true when the device acknowledged it.
    bool send(std::uint8_t byte);
    // Clocks in a byte, then gives the ninth clock with the acknowledge or without.
    std::uint8_t receive(bool ack);
    // S W cmd S R byte... P, the master acknowledging all but the last byte.
    std::vector<std::uint8_t> read(std::uint8_t cmd, int count, std::uint8_t addr = 0x9A);
    // S W cmd data... P; true when every byte was acknowledged.
    bool write(std::uint8_t cmd, const std::vector<std::uint8_t>& data = {},
               std::uint8_t addr = 0x9A);

  protected:
    // Every register access of the master passes here.
    virtual std::uint8_t input(std::uint16_t address) { return sim_.input(address); }
    virtual void output(std::uint16_t address, std::uint8_t value) { sim_.output(address, value); }

  private:
    void change(std::uint16_t address, std::uint8_t mask, bool set);

    sim::Simulation& sim_;
};

}  // namespace quorvane::testkit
