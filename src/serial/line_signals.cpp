// The signal list walk. Names match as prefixes of an item, tried from the
// highest code down, case-sensitively; spaces are not skipped.
#include "serial/line_signals.h"

#include <cstring>

namespace {

// The code whose name begins the item at `item`, or 0.
int matchSignal(const char* item) {
  for (int code = 9; code >= 1; --code) {
    const char* name = kSignalNameTable[code];
    if (std::strncmp(item, name, std::strlen(name)) == 0) return code;
  }
  return 0;
}

}  // namespace

void applySignalList(const char* list, const SignalApplier& apply, std::FILE* console) {
  const char* p = list;
  while (*p != '\0') {
    if (int code = matchSignal(p)) {
      const char* name = kSignalNameTable[code];
      if (int error = apply(code)) {
        std::fprintf(console, "#!!Set Signal %s failed %d\n", name, error);
      } else {
        std::fprintf(console, "#* Set Signal %s\n", name);
      }
    }
    const char* comma = std::strchr(p, ',');
    p = comma ? comma + 1 : p + std::strlen(p);
  }
}
