// A two-wire master for tests, driving the simulated port register by register with no delays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/simulation.h"

namespace quorvane::sim::testing {

inline constexpr std::uint16_t kData = 0x378;
inline constexpr std::uint16_t kStatus = 0x379;
inline constexpr std::uint16_t kControl = 0x37A;
inline constexpr std::uint8_t kPoweredAt5 = 0xD7;  // SCL, A2, A0 and the supply bits

class BitMaster {
  public:
    explicit BitMaster(Simulation& sim) : sim_(sim) {
        sim_.setRealSleep(false);
        sim_.requestPortAccess(kData, 3, 1);
    }
    void powerUp(std::uint8_t data = kPoweredAt5) {
        sim_.output(kData, data);
        sda(true);
    }
    void scl(bool high) {
        const std::uint8_t v = sim_.input(kData);
        sim_.output(kData, static_cast<std::uint8_t>(high ? v | 0x80 : v & 0x7F));
    }
    void sda(bool high) {
        const std::uint8_t v = sim_.input(kControl);
        sim_.output(kControl, static_cast<std::uint8_t>(high ? v & 0xF7 : v | 0x08));
    }
    bool sdaHigh() { return (sim_.input(kStatus) & 0x10) == 0; }

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

  private:
    Simulation& sim_;
};

}  // namespace quorvane::sim::testing
