// The device's side of the two-wire bus at bit level: it watches SCL and SDA change and turns
// them into bytes for a byte-level device, and drives SDA (only ever low) to answer.
#pragma once

#include <cstdint>

namespace quorvane::sim {

// What a device does with whole bytes. The decoder owns all timing on the wires.
class BusTarget {
  public:
    virtual ~BusTarget() = default;
    virtual void start() = 0;  // START or repeated START
    virtual void stop() = 0;
    // An address byte (7-bit address and R/W bit); true acknowledges it as this device's.
    virtual bool address(std::uint8_t byte) = 0;
    // A byte written by the master after an acknowledged write address; true acknowledges.
    virtual bool write(std::uint8_t byte) = 0;
    // The next byte to send after an acknowledged read address or a master's acknowledge.
    virtual std::uint8_t read() = 0;
};

class BusDecoder {
  public:
    enum class Phase : std::uint8_t {
        Idle,            // waiting for a START; also after a byte nobody took
        Receiving,       // clocking in an address or data byte
        Acknowledging,   // holding SDA low through the ninth clock
        Sending,         // clocking out a byte
        AwaitingMaster,  // ninth clock of a sent byte: the master acknowledges or not
    };

    explicit BusDecoder(BusTarget& target) : target_(target) {}

    // Power-up: idle, SDA released, the lines as they are now.
    void reset(bool scl, bool sda);
    // The line levels as the device sees them, after any change (one line at a time, or none).
    void setLines(bool scl, bool sda);

    bool pullsSdaLow() const { return pullLow_; }
    Phase phase() const { return phase_; }

  private:
    void onStartOrStop(bool sdaRose);
    void onRise(bool sda);
    void onFall();
    void beginByteOut();

    BusTarget& target_;
    bool scl_ = true;
    bool sda_ = true;
    bool pullLow_ = false;
    Phase phase_ = Phase::Idle;
    bool expectAddress_ = false;  // the next byte received is an address byte
    bool reading_ = false;        // the acknowledged address asked to read
    bool masterAcked_ = false;
    std::uint8_t shift_ = 0;
    int bits_ = 0;
};

}  // namespace quorvane::sim
