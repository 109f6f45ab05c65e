// The line settings as the Windows serial driver takes them: a DCB filled
// from all zero, every field set on each opening.
#pragma once

#include <windows.h>

#include "serial/line_settings.h"

DCB lineControlBlock(const LineSettings& settings);
