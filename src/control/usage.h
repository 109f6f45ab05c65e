// The usage text, printed when an argument is not recognised.
#pragma once

#include <cstdio>

#include "control/capture_settings.h"

// Prints the usage text; its "default is" line shows `settings` as they stand.
void printUsage(std::FILE* out, const char* program, const CaptureSettings& settings);
