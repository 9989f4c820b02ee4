#include "kit/bus_analyser.h"

#include <cstdio>

namespace quorvane::testkit {

std::string hexByte(unsigned byte) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", byte & 0xFFU);
    return hex;
}

void BusAnalyser::reset(bool scl, bool sda) {
    scl_ = scl;
    sda_ = sda;
    busy_ = false;
    levelAtRise_ = sda;
    conditionThisPulse_ = false;
    bits_ = 0;
    value_ = 0;
    events_.clear();
}

void BusAnalyser::newLevels(bool scl, bool sda, std::int64_t time) {
    if (scl == scl_ && sda == sda_) {
        return;
    }
    if (scl_ && scl && sda != sda_) {
        // Data moving while the clock is high is a condition, never a bit.
        if (bits_ > 0 && bits_ < 8) {
            events_.push_back({bitsSoFar(), time});
        }
        events_.push_back({sda ? "P" : busy_ ? "Sr" : "S", time});
        busy_ = !sda;
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
                events_.push_back({hexByte(value_), time});
            }
        } else {
            events_.push_back({levelAtRise_ ? "n" : "a", time});
            bits_ = 0;
            value_ = 0;
        }
    }
    scl_ = scl;
    sda_ = sda;
}

std::string BusAnalyser::text() const {
    std::string joined;
    for (const BusEvent& e : events_) {
        joined += (joined.empty() ? "" : " ") + e.token;
    }
    if (bits_ > 0 && bits_ < 8) {
        joined += (joined.empty() ? "" : " ") + bitsSoFar();
    }
    return joined;
}

std::string BusAnalyser::bitsSoFar() const {
    std::string partial = "?";
    for (int i = bits_ - 1; i >= 0; --i) {
        partial += ((value_ >> i) & 1U) != 0 ? '1' : '0';
    }
    return partial;
}

}  // namespace quorvane::testkit
