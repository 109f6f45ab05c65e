// The signal list walk. Names match as prefixes of an item, in the order of
// kSignalNames, case-sensitively; spaces are not skipped.
#include "serial/line_signals.h"

#include <cstring>

namespace {

// The signal whose name begins the item at `item`, or null.
const SignalName* matchSignal(const char* item) {
  for (const SignalName& entry : kSignalNames) {
    if (std::strncmp(item, entry.name, std::strlen(entry.name)) == 0) return &entry;
  }
  return nullptr;
}

}  // namespace

void applySignalList(const char* list, const SignalApplier& apply, std::FILE* console) {
  const char* p = list;
  while (*p != '\0') {
    if (const SignalName* entry = matchSignal(p)) {
      if (int error = apply(entry->signal)) {
        std::fprintf(console, "#!!Set Signal %s failed %d\n", entry->name, error);
      } else {
        std::fprintf(console, "#* Set Signal %s\n", entry->name);
      }
    }
    const char* comma = std::strchr(p, ',');
    p = comma ? comma + 1 : p + std::strlen(p);
  }
}
