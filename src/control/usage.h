// The usage text, printed when an argument is not recognised.
#pragma once

#include <cstdio>
#include <string>

#include "control/capture_settings.h"

// Prints the usage text; its "default is" line shows `settings` as they stand.
void printUsage(std::FILE* out, const char* program, const CaptureSettings& settings);

// The "default is" text, without a line end: the settings as they stand, as
// the usage text shows them and a failed port opening repeats them.
std::string settingsInForce(const CaptureSettings& settings);
