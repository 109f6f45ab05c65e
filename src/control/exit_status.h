// The run's result as a process exit status. Where statuses hold 8 bits
// (POSIX), the two results that do not fit get statuses of their own; Windows
// keeps the results as they are.
#pragma once

#include "serial/run_result.h"

int exitStatusFor(int result);
