#include "sim/bus_decoder.h"

namespace quorvane::sim {

void BusDecoder::reset(bool scl, bool sda) {
    scl_ = scl;
    sda_ = sda;
    pullLow_ = false;
    phase_ = Phase::Idle;
    expectAddress_ = false;
    reading_ = false;
    masterAcked_ = false;
    shift_ = 0;
    bits_ = 0;
}

void BusDecoder::setLines(bool scl, bool sda) {
    if (sda != sda_) {
        sda_ = sda;
        // SDA moving while SCL is high frames a transfer, whatever was going on.
        if (scl_) {
            onStartOrStop(sda);
        }
    }
    if (scl != scl_) {
        scl_ = scl;
        if (scl) {
            onRise(sda_);
        } else {
            onFall();
        }
    }
}

void BusDecoder::onStartOrStop(bool sdaRose) {
    pullLow_ = false;
    shift_ = 0;
    bits_ = 0;
    if (sdaRose) {
        phase_ = Phase::Idle;
        target_.stop();
    } else {
        phase_ = Phase::Receiving;
        expectAddress_ = true;
        target_.start();
    }
}

void BusDecoder::onRise(bool sda) {
    switch (phase_) {
        case Phase::Receiving:
            if (bits_ < 8) {
                shift_ = static_cast<std::uint8_t>((shift_ << 1) | (sda ? 1 : 0));
                ++bits_;
            }
            break;
        case Phase::AwaitingMaster:
            masterAcked_ = !sda;
            break;
        case Phase::Idle:
        case Phase::Acknowledging:
        case Phase::Sending:
            break;  // the master samples what the device holds
    }
}

void BusDecoder::onFall() {
    switch (phase_) {
        case Phase::Idle:
            break;
        case Phase::Receiving: {
            if (bits_ < 8) {
                break;
            }
            const std::uint8_t byte = shift_;
            shift_ = 0;
            bits_ = 0;
            bool taken = false;
            if (expectAddress_) {
                taken = target_.address(byte);
                reading_ = (byte & 1) != 0;
                expectAddress_ = false;
            } else {
                taken = target_.write(byte);
            }
            if (taken) {
                phase_ = Phase::Acknowledging;
                pullLow_ = true;
            } else {
                phase_ = Phase::Idle;  // not for us: silent until the next START
            }
            break;
        }
        case Phase::Acknowledging:
            pullLow_ = false;
            if (reading_) {
                beginByteOut();
            } else {
                phase_ = Phase::Receiving;
            }
            break;
        case Phase::Sending:
            if (++bits_ < 8) {
                pullLow_ = (shift_ & (0x80 >> bits_)) == 0;
            } else {
                pullLow_ = false;  // let the master answer in the ninth clock
                phase_ = Phase::AwaitingMaster;
                masterAcked_ = false;
            }
            break;
        case Phase::AwaitingMaster:
            if (masterAcked_) {
                beginByteOut();
            } else {
                phase_ = Phase::Idle;  // not acknowledged: the read is over
            }
            break;
    }
}

void BusDecoder::beginByteOut() {
    phase_ = Phase::Sending;
    shift_ = target_.read();
    bits_ = 0;
    pullLow_ = (shift_ & 0x80) == 0;
}

}  // namespace quorvane::sim
