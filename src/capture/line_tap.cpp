// The line tap's stamp: written straight into the capture file.
#include "capture/line_tap.h"

void LineTap::stamp(CaptureFile& file) {
  for (char c : stamper_.prefix(read_)) file.put(static_cast<uint8_t>(c));
}
