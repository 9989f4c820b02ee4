// The grant of the port's registers for the seams that reach the port through a kernel device
// (the parallel-port device, GPIO lines): RequestPortAccess, AccessFailed and SleepSeconds of
// bus/port_io.h, the same for both. Each of those programs links this file and one such seam,
// which provides the three functions at the end.
#pragma once

// The registers granted: grantedCount of them from grantedBase; none while the device is closed.
extern unsigned long grantedBase;
extern unsigned long grantedCount;

// Records a register access that failed, for the next AccessFailed.
void markAccessFailed();

// Provided by the seam. Whether its device is open.
bool deviceOpen();
// Opens the device: 0, or -1 with errno set (and the seam's hint ready) when refused.
int openDevice();
// Gives the device back; nothing when it is not open.
void closeDevice();
