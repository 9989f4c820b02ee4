#include "frontend/console.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "bus/bus.h"
#include "frontend/logfile.h"
#include "thermometer/thermometer.h"

const char* const UnitStr[3] = {"CELCIUS", "FAHRENHEIT", "KELVIN"};

namespace {

constexpr std::size_t kTimeBufferSize = 256;

// The -l value as atol reads it, held in a signed 32-bit integer: white space and a sign may
// lead, reading stops at the first non-digit, no digits give 0 and a value out of range is held
// at the nearest limit.
std::int32_t parseSeconds(const char* text) {
    const long value = std::strtol(text, nullptr, 10);
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace

void Usage() {
    std::printf("\nUsage:");
    std::printf("\n");
    std::printf("\nquorvane_unix -l<log frequency> -k -f -v --help");
    std::printf("\nwhere log frequency is in seconds");
    std::printf("\n-k=unit is KELVIN");
    std::printf("\n-f=unit is FAHRENHEIT");
    std::printf("\n-v=enable VERBOSE");
    std::printf("\n--help = display Usage");
    std::printf("\nDefault unit is CELCIUS");
}

char* CurrTimeStr() {
    static char timeBuffer[kTimeBufferSize];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr ||
        std::strftime(timeBuffer, sizeof timeBuffer, "%H:%M:%S %m/%d/%Y", &local) == 0) {
        timeBuffer[0] = '\0';
    }
    return timeBuffer;
}

int UsageRequested(int argc, char* argv[]) {
    if (argc > 5) {
        return 1;
    }
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "/?") == 0 || std::strcmp(argv[i], "--help") == 0) {
            return 1;
        }
    }
    return 0;
}

void ScanOptions(int argc, char* argv[], int* unitIndex, std::int32_t* logFrequency, int* verbose) {
    for (int i = 0; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strncmp(arg, "-l", 2) == 0) {
            *logFrequency = arg[2] == '\0' ? -1 : parseSeconds(arg + 2);
        }
        if (std::strcmp(arg, "-f") == 0) {
            *unitIndex = 1;
        } else if (std::strcmp(arg, "-k") == 0) {
            *unitIndex = 2;
        }
        if (std::strcmp(arg, "-v") == 0) {
            *verbose = 1;
        }
    }
}

void PrintBanner(int unitIndex, std::int32_t logFrequency) {
    std::printf("\n*** Starting Temperature measurements ***");
    if (logFrequency > 0) {
        std::printf("\nUnits=%s, logging=ON, log frequency=%d", UnitStr[unitIndex],
                    static_cast<int>(logFrequency));
    } else {
        std::printf("\nUnits=%s, logging=OFF", UnitStr[unitIndex]);
    }
}

void FormatMeasurementLine(char* buffer, std::size_t size, std::int16_t tempTenths, int unitIndex,
                           const char* timeStamp) {
    // Each value is held in single precision, as the reading is shown; the arithmetic between
    // them is done in double.
    const float v = static_cast<float>(tempTenths / 10.0);
    float value = v;
    char letter = 'C';
    if (unitIndex == 1) {
        value = static_cast<float>(static_cast<double>(v) * 9 / 5 + 32);
        letter = 'F';
    } else if (unitIndex == 2) {
        value = static_cast<float>(static_cast<double>(v) + 273.15);
        letter = 'K';
    }
    std::snprintf(buffer, size, "\n%4.1f %c %s", static_cast<double>(value), letter, timeStamp);
}

int FlushOutput() {
    if (std::fflush(stdout) == 0) {
        return 0;
    }
    const int readerGone = errno == EPIPE ? 1 : 0;
    std::clearerr(stdout);
    return readerGone;
}

int MeasurementCycle(int unitIndex, std::int32_t logFrequency, std::int64_t* lastLogTime,
                     char* lineBuffer) {
    std::int16_t tempTenths = 0;
    // A failed cycle is reported as such and never shown, nor logged, as a temperature.
    if (Temperature(port, &tempTenths) != 0) {
        std::printf("\nError reading thermometer %s", CurrTimeStr());
        if (FlushOutput() != 0) {
            return 1;
        }
        // A bus that fails at once would otherwise repeat the message many times a second.
        DelaySec(1);
        return 0;
    }
    FormatMeasurementLine(lineBuffer, kLineBufferSize, tempTenths, unitIndex, CurrTimeStr());
    std::printf("%s", lineBuffer);
    // Each reading is visible at once, and a pipe has it before the program is stopped.
    if (FlushOutput() != 0) {
        return 1;
    }
    LogMeasurement(logFrequency, lastLogTime, lineBuffer);
    return FlushOutput();
}
