#include "sim/board.h"

namespace quorvane::sim {

namespace {

// Open drain with a pull-up, unless a fault holds the line.
bool sdaLevel(bool masterLow, bool deviceLow, SdaStuck stuck) {
    switch (stuck) {
        case SdaStuck::Low:
            return false;
        case SdaStuck::High:
            return true;
        case SdaStuck::No:
            break;
    }
    return !(masterLow || deviceLow);
}

}  // namespace

void Board::reset(const MasterLines& master, const Faults& faults, Micros at) {
    observer_ = nullptr;
    const SdaStuck stuck = faults.sdaStuck();
    decoder_.reset(master.scl, sdaLevel(master.masterPullsSdaLow, false, stuck));
    state_ = LineState{};
    publish(master, false, stuck, at);
}

void Board::update(const MasterLines& master, const Faults& faults, Micros at) {
    const SdaStuck stuck = faults.sdaStuck();
    const bool powered = faults.chipConnected() && master.vdd;
    chip_.setAddressPins(faults.strappedAddress ? *faults.strappedAddress : master.addressPins());
    const bool deviceBefore = chip_.powered() && decoder_.pullsSdaLow();
    if (powered != chip_.powered()) {
        if (powered) {
            chip_.powerOn();
        } else {
            chip_.powerOff();
        }
        decoder_.reset(master.scl, sdaLevel(master.masterPullsSdaLow, false, stuck));
        publish(master, false, stuck, at);
        return;
    }
    if (!powered) {
        publish(master, false, stuck, at);
        return;
    }
    decoder_.setLines(master.scl, sdaLevel(master.masterPullsSdaLow, deviceBefore, stuck));
    publish(master, deviceBefore, stuck, at);
    // The chip answers a falling clock by moving SDA, which it then sees as well. It only moves
    // SDA while SCL is low, so seeing its own change sets nothing else in motion; the bound is
    // there all the same.
    for (int i = 0; i < 4; ++i) {
        const bool deviceNow = decoder_.pullsSdaLow();
        if (deviceNow == state_.devicePullsSdaLow) {
            break;
        }
        decoder_.setLines(master.scl, sdaLevel(master.masterPullsSdaLow, deviceNow, stuck));
        publish(master, deviceNow, stuck, at);
    }
}

void Board::publish(const MasterLines& master, bool deviceLow, SdaStuck stuck, Micros at) {
    LineState s;
    static_cast<MasterLines&>(s) = master;
    s.devicePullsSdaLow = deviceLow;
    s.sda = sdaLevel(master.masterPullsSdaLow, deviceLow, stuck);
    // The observer hears of wires that changed; time passing alone is no change.
    s.time = state_.time;
    const bool changed = s != state_;
    s.time = at;
    state_ = s;
    if (changed && observer_) {
        observer_(state_);
    }
}

}  // namespace quorvane::sim
