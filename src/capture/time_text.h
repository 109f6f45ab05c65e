// Times as a test rack reads them: UTC ISO 8601 with milliseconds, and
// seconds elapsed with three decimals.
#pragma once

#include <chrono>
#include <string>

// "2026-12-10T14:05:42.123Z": the time in UTC, milliseconds truncated.
std::string utcMillisText(std::chrono::system_clock::time_point time);

// "12.345": whole seconds and milliseconds of a duration, truncated; a
// negative duration reads as 0.
std::string elapsedText(std::chrono::steady_clock::duration elapsed);
