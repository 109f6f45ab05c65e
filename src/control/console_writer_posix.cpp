// The console writer's platform part on POSIX: a stdio stream over a callback
// (fopencookie), and standard output written with plain write() calls.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "control/console_writer.h"

namespace {

struct CallbackCookie {
  void* context;
  void (*put)(void*, const char*, size_t);
};

ssize_t cookieWrite(void* cookie, const char* text, size_t length) {
  auto* c = static_cast<CallbackCookie*>(cookie);
  c->put(c->context, text, length);
  return static_cast<ssize_t>(length);
}

int cookieClose(void* cookie) {
  delete static_cast<CallbackCookie*>(cookie);
  return 0;
}

// A standard output set non-blocking (by whoever shares it) says EAGAIN
// while its reader pauses: the console is full, not gone. Waiting here holds
// up only the console's own thread.
bool awaitRoom(int fd) {
  pollfd wanted = {fd, POLLOUT, 0};
  for (;;) {
    int ready = ::poll(&wanted, 1, -1);
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

bool writeAll(int fd, const char* text, size_t length) {
  while (length > 0) {
    ssize_t n = ::write(fd, text, length);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && awaitRoom(fd)) continue;
    // A reader that quit (EPIPE; SIGPIPE is ignored) or a console that failed
    // for good: later text would fail the same way.
    if (n <= 0) return false;
    text += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::FILE* openCallbackStream(void* context, void (*put)(void*, const char*, size_t),
                              bool interactive) {
  auto* cookie = new CallbackCookie{context, put};
  cookie_io_functions_t io = {nullptr, &cookieWrite, nullptr, &cookieClose};
  std::FILE* stream = fopencookie(cookie, "w", io);
  if (stream == nullptr) {
    delete cookie;
    return nullptr;
  }
  if (interactive) {
    std::setvbuf(stream, nullptr, _IONBF, 0);
  } else {
    std::setvbuf(stream, nullptr, _IOFBF, 1 << 16);
  }
  return stream;
}

void closeCallbackStream(std::FILE* stream) {
  // The cookie's write hands the text on before fclose() returns.
  std::fclose(stream);
}

ConsoleSink standardOutputSink() {
  ConsoleSink sink;
  sink.write = [](const char* text, size_t length) {
    return writeAll(STDOUT_FILENO, text, length);
  };
  sink.interactive = isatty(STDOUT_FILENO) != 0;
  return sink;
}
