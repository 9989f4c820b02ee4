// The program's fixed texts, as a user sees them, for the tests that check them byte for byte.
#pragma once

namespace quorvane::testkit {

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

// The banner's first line; the second tells the unit and the logging.
inline constexpr const char* kStartLine = "\n*** Starting Temperature measurements ***";

}  // namespace quorvane::testkit
