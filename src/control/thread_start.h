// Starting a thread without an exception escaping: a process out of memory or
// of threads (a virtual-memory limit, a thread limit) cannot have one, and
// that is a failure the run reports and ends on cleanly, not an abort.
#pragma once

#include <functional>
#include <thread>

// Starts `body` on `thread`. Returns 0, or the system's error number when no
// thread could be started; `thread` is then left without one.
int startThread(std::thread& thread, std::function<void()> body);
