#include "kit/bit_master.h"

#include <cstddef>

namespace quorvane::testkit {

BitMaster::BitMaster(sim::Simulation& sim) : sim_(sim) {
    sim_.setRealSleep(false);
    sim_.requestPortAccess(kData, 3, 1);
}

void BitMaster::powerUp(std::uint8_t data) {
    output(kData, data);
    sda(true);
}

void BitMaster::change(std::uint16_t address, std::uint8_t mask, bool set) {
    const std::uint8_t v = input(address);
    output(address, static_cast<std::uint8_t>(set ? v | mask : v & ~mask));
}

void BitMaster::scl(bool high) {
    change(kData, kClock, high);
}

void BitMaster::sda(bool high) {
    change(kControl, kDataPull, !high);
}

bool BitMaster::sdaHigh() {
    return (input(kStatus) & kDataLow) == 0;
}

void BitMaster::start() {
    sda(true);
    scl(true);
    sda(false);
    scl(false);
}

void BitMaster::stop() {
    sda(false);
    scl(true);
    sda(true);
}

bool BitMaster::send(std::uint8_t byte) {
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

std::uint8_t BitMaster::receive(bool ack) {
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

std::vector<std::uint8_t> BitMaster::read(std::uint8_t cmd, int count, std::uint8_t addr) {
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

bool BitMaster::write(std::uint8_t cmd, const std::vector<std::uint8_t>& data, std::uint8_t addr) {
    start();
    bool ok = send(addr) && send(cmd);
    for (std::uint8_t b : data) {
        ok = send(b) && ok;
    }
    stop();
    return ok;
}

}  // namespace quorvane::testkit
