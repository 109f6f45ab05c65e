// Time formatting from the calendar in <chrono>, so no platform call (and no
// time zone) is involved.
#include "capture/time_text.h"

#include <cstdio>

using namespace std::chrono;

std::string utcMillisText(system_clock::time_point time) {
  const auto millis = floor<milliseconds>(time);
  const auto day = floor<days>(millis);
  const year_month_day date{day};
  const hh_mm_ss clock{millis - day};
  char text[32];
  std::snprintf(
      text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
      static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
      static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
      static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()));
  return text;
}

std::string elapsedText(steady_clock::duration elapsed) {
  const long long millis =
      elapsed < steady_clock::duration::zero() ? 0 : duration_cast<milliseconds>(elapsed).count();
  char text[32];
  std::snprintf(text, sizeof text, "%lld.%03lld", millis / 1000, millis % 1000);
  return text;
}
