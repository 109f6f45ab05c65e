// The operating system's side of the capture file: open for appending in
// binary mode, write, hand to the disk, close. Each returns 0 or the
// platform's error number. A file is an opaque number.
#pragma once

#include <cstddef>
#include <cstdint>

namespace capture_os {

// Opens `path` for appending, creating it if missing, without ever waiting
// for a reader (a FIFO nobody reads fails at once).
int openForAppend(const char* path, intptr_t* file);
// Writes some of the bytes; *written > 0 on success.
int writeSome(intptr_t file, const uint8_t* data, size_t length, size_t* written);
// Hands what was written to the disk; 0 where there is no disk behind it.
int syncToDisk(intptr_t file);
int closeFile(intptr_t file);

}  // namespace capture_os
