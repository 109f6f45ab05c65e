// The console writer's buffer and thread, the same on every platform.
#include "control/console_writer.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "control/thread_start.h"

struct ConsoleWriter::Shared {
  explicit Shared(ConsoleSink s) : sink(std::move(s)) {}

  ConsoleSink sink;
  std::mutex mutex;
  std::condition_variable changed;
  std::string pending;   // printed, not yet taken by the thread
  bool writing = false;  // the thread holds text it has not finished writing
  bool closing = false;  // no more text will come
  bool gone = false;     // the console went away: text is discarded
  size_t dropped = 0;

  // Called by the stream, on whichever thread printed.
  static void put(void* context, const char* text, size_t length) {
    Shared& s = *static_cast<Shared*>(context);
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.gone) return;
    size_t room = kCapacity - std::min(kCapacity, s.pending.size());
    size_t taken = std::min(room, length);
    s.pending.append(text, taken);
    s.dropped += length - taken;
    if (taken != 0) s.changed.notify_all();
  }

  void run() {
    std::string batch;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      changed.wait(lock, [this] { return !pending.empty() || closing; });
      if (pending.empty()) return;
      batch.swap(pending);
      pending.clear();
      writing = true;
      lock.unlock();
      bool ok = sink.write(batch.data(), batch.size());
      batch.clear();
      lock.lock();
      writing = false;
      if (!ok) {
        gone = true;
        pending.clear();
      }
      changed.notify_all();
    }
  }

  bool drained() const { return pending.empty() && !writing; }
};

ConsoleWriter::ConsoleWriter(ConsoleSink sink)
    : shared_(std::make_shared<Shared>(std::move(sink))) {
  // The thread holds the shared part too, so one abandoned in a write that
  // never returns still has it.
  if (startThread(thread_, [shared = shared_] { shared->run(); }) == 0) {
    stream_ = openCallbackStream(shared_.get(), &Shared::put, shared_->sink.interactive);
  }
  // Without a thread or a stream of our own (a process short of memory),
  // print as before rather than not at all.
  ownsStream_ = stream_ != nullptr;
  if (!ownsStream_) stream_ = stdout;
}

ConsoleWriter::~ConsoleWriter() {
  finish(std::chrono::milliseconds(0));
  if (thread_.joinable()) thread_.detach();
}

void ConsoleWriter::finish(std::chrono::milliseconds limit) {
  if (stream_ != nullptr) {
    if (ownsStream_) {
      closeCallbackStream(stream_);
    } else {
      std::fflush(stream_);
    }
    stream_ = nullptr;
  }
  std::unique_lock<std::mutex> lock(shared_->mutex);
  if (shared_->closing) return;
  shared_->closing = true;
  shared_->changed.notify_all();
  const bool drained =
      shared_->changed.wait_for(lock, limit, [this] { return shared_->drained(); });
  // Whatever is left will not be written: the thread ends once it is back.
  shared_->pending.clear();
  lock.unlock();
  if (!thread_.joinable()) return;
  // A thread that has written everything ends at once, and is waited for: a
  // process must not end with a thread still running (the thread sanitizer
  // then holds the exit for a second). One still in a write is left to it.
  if (drained) {
    thread_.join();
  } else {
    thread_.detach();
  }
}

size_t ConsoleWriter::dropped() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->dropped;
}
