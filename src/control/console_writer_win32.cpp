// The console writer's platform part on Windows. The C library here has no
// stream over a callback, so the stream writes into a pipe whose other end a
// small pump thread reads and hands on. Standard output goes out in
// text-mode line ends: every line feed as carriage return and line feed, as
// a Windows console program's output does. The program prints UTF-8: a
// console window gets it as UTF-16 (WriteConsoleW), so that names show as
// typed; a pipe or a file gets the UTF-8 bytes (WriteFile).
//
// An unbuffered stream would cost a pipe write per character here (this C
// library's formatted printing puts characters one by one), so an
// interactive stream is buffered too, in a watched buffer, and a flusher
// thread hands its text on as soon as the buffer takes some (at once for
// whoever watches the console) and sleeps while nothing is printed.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "control/buffer_watch_win32.h"
#include "control/console_text_win32.h"
#include "control/console_writer.h"

namespace {

// Room in the pipe: a burst of printing never waits for the pump.
constexpr unsigned kPipeSize = 1u << 20;
// A console window takes at most this much in one write on older systems.
constexpr DWORD kConsoleChunk = 16 * 1024;

constexpr size_t kStreamBuffer = 1 << 16;

// The threads that serve one stream.
struct StreamThreads {
  std::thread pump;
  std::thread flusher;                 // interactive streams only
  std::unique_ptr<BufferWatch> watch;  // their buffer
  std::shared_ptr<std::atomic<bool>> closing;
};

std::mutex pumpsMutex;
std::map<std::FILE*, StreamThreads> pumps;

// Hands the stream's text on each time its buffer takes some. The guard goes
// back on under the stream's lock, right after the flush has emptied it.
void flushWhenWritten(std::FILE* stream, BufferWatch* watch,
                      std::shared_ptr<std::atomic<bool>> closing) {
  for (;;) {
    WaitForSingleObject(watch->written(), INFINITE);
    if (closing->load()) return;
    _lock_file(stream);
    std::fflush(stream);
    watch->rearm();
    _unlock_file(stream);
  }
}

void pump(int readEnd, void* context, void (*put)(void*, const char*, size_t)) {
  char buffer[16 * 1024];
  for (;;) {
    int n = _read(readEnd, buffer, sizeof buffer);
    if (n <= 0) break;  // the stream was closed
    put(context, buffer, static_cast<size_t>(n));
  }
  _close(readEnd);
}

// A console window, in UTF-16, so that every character shows as printed.
bool writeConsole(HANDLE out, const std::wstring& text) {
  size_t done = 0;
  while (done < text.size()) {
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, kConsoleChunk));
    // A pair of surrogates goes out in one piece.
    if (done + chunk < text.size() && IS_HIGH_SURROGATE(text[done + chunk - 1])) --chunk;
    DWORD written = 0;
    if (!WriteConsoleW(out, text.data() + done, chunk, &written, nullptr) || written == 0) {
      return false;
    }
    done += written;
  }
  return true;
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
  StreamThreads threads;
  if (interactive) threads.watch = std::make_unique<BufferWatch>(kStreamBuffer);
  if (threads.watch != nullptr && threads.watch->buffer() != nullptr) {
    std::setvbuf(stream, threads.watch->buffer(), _IOFBF, threads.watch->size());
  } else {
    // Without a watched buffer, an interactive stream's every print goes
    // straight into the pipe.
    std::setvbuf(stream, nullptr, interactive ? _IONBF : _IOFBF, kStreamBuffer);
    threads.watch.reset();
  }
  threads.closing = std::make_shared<std::atomic<bool>>(false);
  threads.pump = std::thread(pump, ends[0], context, put);
  if (threads.watch != nullptr) {
    threads.flusher = std::thread(flushWhenWritten, stream, threads.watch.get(), threads.closing);
  }
  std::lock_guard<std::mutex> lock(pumpsMutex);
  pumps.emplace(stream, std::move(threads));
  return stream;
}

void closeCallbackStream(std::FILE* stream) {
  StreamThreads threads;
  {
    std::lock_guard<std::mutex> lock(pumpsMutex);
    auto found = pumps.find(stream);
    if (found != pumps.end()) {
      threads = std::move(found->second);
      pumps.erase(found);
    }
  }
  if (threads.flusher.joinable()) {
    threads.closing->store(true);
    SetEvent(threads.watch->written());
    threads.flusher.join();
  }
  // Closing the write end ends the pump once it has handed everything on.
  // The buffer goes after the stream that uses it.
  std::fclose(stream);
  if (threads.pump.joinable()) threads.pump.join();
  threads.watch.reset();
}

ConsoleSink standardOutputSink() {
  ConsoleSink sink;
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  sink.interactive = out != nullptr && out != INVALID_HANDLE_VALUE && GetConsoleMode(out, &mode);
  if (sink.interactive) {
    // Only the writer's thread writes: the cut sequence needs no lock.
    auto carry = std::make_shared<std::string>();
    sink.write = [out, carry](const char* text, size_t length) {
      return writeConsole(out, consoleText(text, length, *carry, GetConsoleOutputCP()));
    };
    return sink;
  }
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
