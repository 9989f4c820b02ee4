// The pace of the seams that reach the port through a kernel device (the parallel-port device,
// GPIO lines), shared by both as bus/port_grant.h is. A read of the data register shows nothing
// on the bus, so such a seam answers it without a system call; it only owes the microsecond that
// a read of the parallel port itself takes, which keeps the busy wait's 1000 reads a millisecond.
// What is owed is slept before the next access that the bus can see (a write that changes a
// line, a read of the status register), until that access is due.
//
// The deadlines are absolute, on a schedule that a late wake-up does not move: the lateness is
// made up at the following waits, so a cycle takes as long as its line changes owe, however many
// wake-ups it has. But never in one go: no wait, from the end of one access the bus sees to the
// next, is cut below nine tenths of what it owes, so a line change never comes early after a
// stall. A wake-up far behind the schedule (a process stopped, a sleep of whole seconds) starts
// it again from there instead.
#pragma once

#include <cstdint>

// What the reads since the last access that the bus saw owe, in nanoseconds: paid by the wait
// before the next such access, and cleared once that access is done.
extern std::int64_t owedNanos;

inline constexpr std::int64_t kNanosPerRead = 1000;

// At the grant: the schedule starts now, and this thread's timer slack is made its least, so
// that a wake-up comes when it is asked for rather than up to 50 us after.
void startPacing();

// Owes the time of reads that stood in for port accesses.
inline void oweTime(std::int64_t nanos) {
    owedNanos += nanos;
}

// Before an access the bus sees: sleeps until it is due. Nothing owed, nothing slept.
void awaitDue();

// Right after that access: what was owed is paid, and the next wait is timed from now.
void accessSeen();
