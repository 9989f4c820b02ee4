// A two-wire master that drives a simulated port register by register, with no delays: the
// simulator's tests and the bus fuzzer talk to the chip through it.
#pragma once

#include <cstddef>
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
    explicit BitMaster(sim::Simulation& sim) : sim_(sim) {
        sim_.setRealSleep(false);
        sim_.requestPortAccess(kData, 3, 1);
    }
    BitMaster(const BitMaster&) = delete;
    BitMaster& operator=(const BitMaster&) = delete;
    virtual ~BitMaster() = default;

    void powerUp(std::uint8_t data = kPoweredAt5) {
        output(kData, data);
        sda(true);
    }
    void scl(bool high) { change(kData, kClock, high); }
    void sda(bool high) { change(kControl, kDataPull, !high); }  // false pulls the line low
    bool sdaHigh() { return (input(kStatus) & kDataLow) == 0; }

    void start() {
        sda(true);
        scl(true);
        sda(false);
        scl(false);
    }
    void stop() {
        sda(false);
        scl(true);
        sda(true);
    }
    // Sends a byte; true when the device acknowledged it.
    bool send(std::uint8_t byte) {
        for (int bit = 7; bit >= 0; --bit) {
            sda(((byte >> bit) & 1) != 0);
            scl(true);
            scl(false);
        }
        sda(true);
        scl(true);
        const bool acked = !sdaHigh();
        scl(false);
        return acked;
    }
    // Clocks in a byte, then gives the ninth clock with the acknowledge or without.
    std::uint8_t receive(bool ack) {
        sda(true);
        std::uint8_t r = 0;
        for (int i = 0; i < 8; ++i) {
            scl(true);
            r = static_cast<std::uint8_t>((r << 1) | (sdaHigh() ? 1 : 0));
            scl(false);
        }
        sda(!ack);
        scl(true);
        scl(false);
        sda(true);
        return r;
    }
    // S W cmd S R byte... P, the master acknowledging all but the last byte.
    std::vector<std::uint8_t> read(std::uint8_t cmd, int count, std::uint8_t addr = 0x9A) {
        std::vector<std::uint8_t> out;
        out.reserve(static_cast<std::size_t>(count > 0 ? count : 0));
        start();
        send(addr);
        send(cmd);
        start();
        send(static_cast<std::uint8_t>(addr | 1));
        for (int i = 0; i < count; ++i) {
            out.push_back(receive(i + 1 < count));
        }
        stop();
        return out;
    }
    // S W cmd data... P; true when every byte was acknowledged.
    bool write(std::uint8_t cmd, const std::vector<std::uint8_t>& data = {},
               std::uint8_t addr = 0x9A) {
        start();
        bool ok = send(addr) && send(cmd);
        for (std::uint8_t b : data) {
            ok = send(b) && ok;
        }
        stop();
        return ok;
    }

  protected:
    // Every register access of the master passes here.
    virtual std::uint8_t input(std::uint16_t address) { return sim_.input(address); }
    virtual void output(std::uint16_t address, std::uint8_t value) { sim_.output(address, value); }

  private:
    void change(std::uint16_t address, std::uint8_t mask, bool set) {
        const std::uint8_t v = input(address);
        output(address, static_cast<std::uint8_t>(set ? v | mask : v & ~mask));
    }

    sim::Simulation& sim_;
};

}  // namespace quorvane::testkit
