// The lock that keeps two programs off one chip. The kernel lets any number of programs address
// the same chip, and two one-shot cycles interleaved would read each other's conversions. Each
// chip (adapter and address) has a lock file in /run/lock, held with flock for as long as the
// program runs: the kernel releases it with the process however that ends, so a program that
// crashed leaves nothing held behind.
#pragma once

#include <cstddef>

// The lock file of the chip at `address` on adapter `number`: /run/lock/quorvane-i2c-1-0x4d.lock.
void lockPath(int number, int address, char* out, std::size_t size);

// Takes the lock of that chip: its file's descriptor, to be closed to give the lock up, or -1 with
// errno set. When another program holds it (EBUSY), holder names that program for a hint
// ("quorvane_i2c, process 1234, quorvane@freezer.service"), or is "" when it cannot be told.
int lockChip(int number, int address, char* holder, std::size_t holderSize);
