// The operating system's side of the capture file: open for appending in
// binary mode, write, hand to the disk, close. Each returns 0 or the
// platform's error number. A file is an opaque number.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace capture_os {

// What writeSome() returns when the file takes nothing now (a FIFO or a
// terminal whose reader lags); no error number has this value.
constexpr int kWouldBlock = -1;
// The error number shown for a file given up because it took nothing.
extern const int kStalledError;

// Opens `path` for appending, creating it if missing, without ever waiting
// for a reader (a FIFO nobody reads fails at once), and without making a
// terminal this process's controlling one.
int openForAppend(const char* path, intptr_t* file);
// Writes some of the bytes; *written > 0 on success, or kWouldBlock.
int writeSome(intptr_t file, const uint8_t* data, size_t length, size_t* written);
// Waits up to `limit` for the file to take more.
void awaitRoom(intptr_t file, std::chrono::milliseconds limit);
// Hands what was written to the disk; 0 where there is no disk behind it.
int syncToDisk(intptr_t file);
int closeFile(intptr_t file);

}  // namespace capture_os
