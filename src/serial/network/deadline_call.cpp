// callBefore() of deadline_call.h.
#include "serial/network/deadline_call.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

struct Shared {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  bool abandoned = false;
};

}  // namespace

bool callBefore(std::chrono::steady_clock::time_point deadline, std::function<void()> call,
                std::function<void()> leftOver) {
  auto shared = std::make_shared<Shared>();
  std::thread thread;
  try {
    thread = std::thread([shared, call, leftOver] {
      call();
      std::unique_lock<std::mutex> lock(shared->mutex);
      shared->finished = true;
      if (shared->abandoned) {
        lock.unlock();
        leftOver();
      } else {
        shared->done.notify_all();
      }
    });
  } catch (const std::system_error&) {
    call();
    return true;
  }
  std::unique_lock<std::mutex> lock(shared->mutex);
  if (shared->done.wait_until(lock, deadline, [&] { return shared->finished; })) {
    lock.unlock();
    thread.join();
    return true;
  }
  shared->abandoned = true;
  lock.unlock();
  thread.detach();
  return false;
}
