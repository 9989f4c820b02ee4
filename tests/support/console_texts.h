// The program's fixed texts, as a user sees them, for the tests that check them byte for byte.
#pragma once

namespace quorvane::test {

inline constexpr const char* kUsageText =
    "\nUsage:"
    "\n"
    "\nquorvane_unix -l<log frequency> -k -f -v --help"
    "\nwhere log frequency is in seconds"
    "\n-k=unit is KELVIN"
    "\n-f=unit is FAHRENHEIT"
    "\n-v=enable VERBOSE"
    "\n--help = display Usage"
    "\nDefault unit is CELCIUS";

}  // namespace quorvane::test
