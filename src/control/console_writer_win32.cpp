// The console writer's platform part on Windows. The C library here has no
// stream over a callback, so the stream writes into a pipe whose other end a
// small pump thread reads and hands on. Standard output is written with
// WriteFile in text-mode line ends: every line feed goes out as carriage
// return and line feed, as a Windows console program's output does.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "control/console_writer.h"

namespace {

// Room in the pipe: a burst of printing never waits for the pump.
constexpr unsigned kPipeSize = 1u << 20;
// A console window takes at most this much in one write on older systems.
constexpr DWORD kConsoleChunk = 16 * 1024;

std::mutex pumpsMutex;
std::map<std::FILE*, std::thread> pumps;

void pump(int readEnd, void* context, void (*put)(void*, const char*, size_t)) {
  char buffer[16 * 1024];
  for (;;) {
    int n = _read(readEnd, buffer, sizeof buffer);
    if (n <= 0) break;  // the stream was closed
    put(context, buffer, static_cast<size_t>(n));
  }
  _close(readEnd);
}

bool writeAll(HANDLE out, const char* text, size_t length) {
  while (length > 0) {
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(length, kConsoleChunk));
    DWORD written = 0;
    // A reader that quit (broken pipe) or a console that failed for good:
    // later text would fail the same way.
    if (!WriteFile(out, text, chunk, &written, nullptr) || written == 0) return false;
    text += written;
    length -= written;
  }
  return true;
}

}  // namespace

std::FILE* openCallbackStream(void* context, void (*put)(void*, const char*, size_t),
                              bool interactive) {
  int ends[2];
  if (_pipe(ends, kPipeSize, _O_BINARY | _O_NOINHERIT) != 0) return nullptr;
  std::FILE* stream = _fdopen(ends[1], "wb");
  if (stream == nullptr) {
    _close(ends[0]);
    _close(ends[1]);
    return nullptr;
  }
  if (interactive) {
    std::setvbuf(stream, nullptr, _IONBF, 0);
  } else {
    std::setvbuf(stream, nullptr, _IOFBF, 1 << 16);
  }
  std::lock_guard<std::mutex> lock(pumpsMutex);
  pumps.emplace(stream, std::thread(pump, ends[0], context, put));
  return stream;
}

void closeCallbackStream(std::FILE* stream) {
  std::thread pumping;
  {
    std::lock_guard<std::mutex> lock(pumpsMutex);
    auto found = pumps.find(stream);
    if (found != pumps.end()) {
      pumping = std::move(found->second);
      pumps.erase(found);
    }
  }
  // Closing the write end ends the pump once it has handed everything on.
  std::fclose(stream);
  if (pumping.joinable()) pumping.join();
}

ConsoleSink standardOutputSink() {
  ConsoleSink sink;
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  sink.interactive = out != nullptr && out != INVALID_HANDLE_VALUE && GetConsoleMode(out, &mode);
  sink.write = [out](const char* text, size_t length) {
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return false;
    std::string lines;
    lines.reserve(length + length / 8);
    for (size_t i = 0; i < length; ++i) {
      if (text[i] == '\n') lines += '\r';
      lines += text[i];
    }
    return writeAll(out, lines.data(), lines.size());
  };
  return sink;
}
