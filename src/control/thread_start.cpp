// Starting a thread, its failure as an error number.
#include "control/thread_start.h"

#include <cerrno>
#include <new>
#include <system_error>

int startThread(std::thread& thread, std::function<void()> body) {
  try {
    thread = std::thread(std::move(body));
  } catch (const std::system_error& failure) {
    return failure.code().value() != 0 ? failure.code().value() : EAGAIN;
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
  return 0;
}
