// The console front end: usage text, time stamps, the option scan, the banner and the
// measurement line. The entry (main) strings them together; tests reach each one directly.
#pragma once

#include <cstddef>
#include <cstdint>

// Display unit names for the banner, indexed by unitIndex: 0 Celsius, 1 Fahrenheit, 2 Kelvin.
extern const char* const UnitStr[3];

// Size of the buffer that holds one measurement line.
constexpr std::size_t kLineBufferSize = 2048;

void Usage();

// The local time as "%H:%M:%S %m/%d/%Y", in a static buffer replaced on every call.
char* CurrTimeStr();

// 1 when the command line asks for the usage text: more than four arguments, or "--help" or
// "/?" anywhere (the program's own name included).
int UsageRequested(int argc, char* argv[]);

// Applies -l<seconds>, -f, -k and -v in order; a later argument overrides an earlier one and
// anything else is ignored.
void ScanOptions(int argc, char* argv[], int* unitIndex, std::int32_t* logFrequency, int* verbose);

void PrintBanner(int unitIndex, std::int32_t logFrequency);

// Formats one measurement line into buffer: "\n", the value in the chosen unit as %4.1f, the
// unit letter and the time stamp.
void FormatMeasurementLine(char* buffer, std::size_t size, std::int16_t tempTenths, int unitIndex,
                           const char* timeStamp);

// Writes out what has been printed. Returns 1 when nobody reads standard output any more (the
// reader of its pipe is gone), else 0: a full device or a closed descriptor is no reason to stop
// measuring and logging.
int FlushOutput();

// One turn of the measurement loop: measures, prints the line (or the failure) and offers the
// line to the log. lineBuffer holds kLineBufferSize bytes and keeps the line afterwards. Returns
// 1 when nobody reads standard output any more, else 0.
int MeasurementCycle(int unitIndex, std::int32_t logFrequency, std::int64_t* lastLogTime,
                     char* lineBuffer);
