// The port addresses a program has the right to touch, granted and taken back as ioperm does.
#pragma once

#include <bitset>
#include <cstdint>

namespace quorvane::sim {

class AccessRights {
  public:
    // Grants (turnOn non-zero) or takes back the rights to [from, from + count): 0, or -1 with
    // errno EINVAL for a range beyond the 16-bit addresses.
    int request(unsigned long from, unsigned long count, int turnOn);
    bool granted(std::uint16_t address) const { return granted_[address]; }
    void revokeAll() { granted_.reset(); }
    // Ends the process unless `address` is granted.
    void require(std::uint16_t address) const {
        if (!granted_[address]) {
            violation(address);
        }
    }

  private:
    [[noreturn]] static void violation(std::uint16_t address);

    std::bitset<0x10000> granted_;
};

}  // namespace quorvane::sim
