// quorvane: shows the temperature of a DS1621-type thermometer, one line per measurement, without
// end; optionally appends the lines to quorvane.log. Every program shares this entry; what it
// links below the layers decides how it reaches the chip (the port, GPIO lines, an I2C adapter).
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "bus/bus.h"
#include "bus/port_io.h"
#include "frontend/console.h"
#include "thermometer/transactions.h"

int main(int argc, char* argv[]) {
    port = 0x378;
    int unitIndex = 0;
    std::int32_t logFrequency = -1;
    int verbose = 0;

    // Without the right to the port nothing else can work, not even help.
    if (RequestPortAccess(port, 3, 1) < 0) {
        const int error = errno;
        std::printf("\nerrno=%d", error);
        std::printf("\nError setting I/O Port access permissions");
        std::printf("\nMake sure that you have root permissions");
        std::printf("%s", AccessHint(error));
        return 1;
    }
    ReadyBus();

    if (UsageRequested(argc, argv) != 0) {
        Usage();
        return FlushOutput();
    }
    ScanOptions(argc, argv, &unitIndex, &logFrequency, &verbose);
    if (verbose == 1) {
        PrintBanner(unitIndex, logFrequency);
        if (FlushOutput() != 0) {
            return 1;
        }
    }

    std::int64_t lastLogTime = std::time(nullptr);
    char lineBuffer[kLineBufferSize];
    // Measures until stopped from outside, or until nobody reads the lines any more: a reader
    // that has gone away would otherwise leave the program running unseen for ever.
    while (MeasurementCycle(unitIndex, logFrequency, &lastLogTime, lineBuffer) == 0) {
    }
    return 1;
}
