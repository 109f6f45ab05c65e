// Running a call that has no time limit of its own (the system's name lookup)
// within one: on a thread of its own, waited for until a deadline. A call
// still running then is left to finish by itself.
#pragma once

#include <chrono>
#include <functional>

// Runs `call` and returns true once it is done, or false when `deadline`
// came first; `call` then goes on alone, and `leftOver` runs after it on its
// thread, to free what it made. Whatever either touches must be theirs
// (captured by value or shared), as the caller may be gone by then. Where no
// thread can be started, `call` runs here, without the limit.
bool callBefore(std::chrono::steady_clock::time_point deadline, std::function<void()> call,
                std::function<void()> leftOver);
