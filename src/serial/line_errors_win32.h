// Line errors on Windows: each ClearCommError reports the errors met since
// the previous one as CE_* flags; every flag reported counts once.
#pragma once

#include <cstdint>

#include "serial/line_errors.h"

// Adds the error flags of one ClearCommError report to `counts`.
void countCommErrors(uint32_t errorFlags, LineErrors& counts);
