// Line errors on Linux: the driver keeps running totals (TIOCGICOUNT); a
// run's errors are the totals at its end less those at the port's open.
#pragma once

#include <linux/serial.h>

#include "serial/line_errors.h"

// Reads the driver's totals; false when the port keeps none (a
// pseudo-terminal, some USB adapters' drivers).
bool readDriverTotals(int fd, serial_icounter_struct* totals);

// The errors between two readings of the totals. The driver's counters are
// plain ints that wrap, so each difference is taken modulo 2^32.
LineErrors lineErrorsBetween(const serial_icounter_struct& before,
                             const serial_icounter_struct& after);
