#include "support/bus_events.h"

#include <cstdio>
#include <utility>

namespace busevents {

void Decoder::reset(bool scl, bool sda) {
    scl_ = scl;
    sda_ = sda;
    busy_ = false;
    levelAtRise_ = sda;
    conditionThisPulse_ = false;
    bits_ = 0;
    value_ = 0;
    events_.clear();
}

void Decoder::lines(bool scl, bool sda, std::int64_t time) {
    if (scl == scl_ && sda == sda_) {
        return;
    }
    if (scl_ && scl && sda != sda_) {
        // Data moving while the clock is high is a condition, never a bit.
        if (bits_ > 0 && bits_ < 8) {
            std::string partial = "?";
            for (int i = bits_ - 1; i >= 0; --i) {
                partial += ((value_ >> i) & 1U) != 0 ? '1' : '0';
            }
            emit(std::move(partial), time);
        }
        if (sda) {
            emit("P", time);
            busy_ = false;
        } else {
            emit(busy_ ? "Sr" : "S", time);
            busy_ = true;
        }
        bits_ = 0;
        value_ = 0;
        conditionThisPulse_ = true;
    } else if (!scl_ && scl) {
        levelAtRise_ = sda;
        conditionThisPulse_ = false;
    } else if (scl_ && !scl && !conditionThisPulse_) {
        if (bits_ < 8) {
            value_ = (value_ << 1U) | (levelAtRise_ ? 1U : 0U);
            if (++bits_ == 8) {
                char hex[3];
                std::snprintf(hex, sizeof hex, "%02X", value_ & 0xFFU);
                emit(hex, time);
            }
        } else {
            emit(levelAtRise_ ? "n" : "a", time);
            bits_ = 0;
            value_ = 0;
        }
    }
    scl_ = scl;
    sda_ = sda;
}

std::string Decoder::text() const {
    std::string joined;
    for (const Event& e : events_) {
        if (!joined.empty()) {
            joined += ' ';
        }
        joined += e.token;
    }
    return joined;
}

void Decoder::emit(std::string token, std::int64_t time) {
    events_.push_back({std::move(token), time});
}

}  // namespace busevents
