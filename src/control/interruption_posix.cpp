// Interruption on POSIX. The interrupting signals stay blocked in every
// thread for the life of the process and are taken synchronously by
// sigtimedwait() in the supervisor's sleep. The worker's wake-up is one more
// blocked signal, SIGUSR1, sent to the supervising thread alone.
//
// Every asynchronous signal whose default action would end the process
// interrupts the run, so none of them can end it with the buffered capture
// lost and the port left raw. The fault signals (SIGSEGV, SIGBUS, SIGFPE,
// SIGILL, SIGABRT, SIGSYS, SIGTRAP) keep their default: after one of those
// nothing can be trusted to run.
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "control/interruption.h"

namespace {

constexpr int kWakeSignal = SIGUSR1;

// The terminating signals other than the real-time ones. SIGPIPE and SIGXFSZ
// are ignored instead (process set-up): they answer a write, and the write
// itself reports the failure.
constexpr int kTerminatingSignals[] = {
    SIGINT,    SIGTERM, SIGHUP, SIGQUIT, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGIO,
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

sigset_t heldSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int terminating : kTerminatingSignals) sigaddset(&set, terminating);
  for (int realTime = SIGRTMIN; realTime <= SIGRTMAX; ++realTime) sigaddset(&set, realTime);
  sigaddset(&set, kWakeSignal);
  return set;
}

// A run ended by a signal exits as a shell reports a process the signal killed.
int exitStatusForSignal(int signalNumber) {
  return 128 + signalNumber;
}

// A signal's name as the shell's `kill -l` prints it: the real-time ones
// counted from SIGRTMIN up to half-way, then from SIGRTMAX down.
std::string signalName(int signalNumber) {
  const int rtMin = SIGRTMIN;
  const int rtMax = SIGRTMAX;
  if (signalNumber >= rtMin && signalNumber <= rtMax) {
    if (signalNumber == rtMin) return "SIGRTMIN";
    if (signalNumber == rtMax) return "SIGRTMAX";
    const int aboveMin = signalNumber - rtMin;
    if (aboveMin <= (rtMax - rtMin) / 2) return "SIGRTMIN+" + std::to_string(aboveMin);
    return "SIGRTMAX-" + std::to_string(rtMax - signalNumber);
  }
  const char* abbreviation = sigabbrev_np(signalNumber);
  if (abbreviation != nullptr) return std::string("SIG") + abbreviation;
  return "SIG" + std::to_string(signalNumber);
}

long long nowMillis() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

}  // namespace

struct Interruption::Impl {
  pthread_t supervisor;
  int firstSignal = 0;  // the supervisor's alone
};

Interruption::Interruption() : impl_(new Impl) {
  impl_->supervisor = pthread_self();
  sigset_t set = heldSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

// The signals stay blocked: one still to come must not kill the process
// while it returns from main() and flushes its output.
Interruption::~Interruption() {
  delete impl_;
}

Interruption::Wake Interruption::sleepFor(std::chrono::milliseconds limit) {
  if (impl_->firstSignal != 0) return Wake::kInterrupted;
  const sigset_t set = heldSignals();
  const long long deadline = nowMillis() + limit.count();
  for (;;) {
    long long left = deadline - nowMillis();
    if (left < 0) left = 0;
    timespec wait = {static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000};
    int taken = sigtimedwait(&set, nullptr, &wait);
    if (taken == kWakeSignal) return Wake::kWoken;
    if (taken > 0) {
      if (impl_->firstSignal == 0) impl_->firstSignal = taken;
      return Wake::kInterrupted;
    }
    if (errno != EINTR || left == 0) return Wake::kElapsed;
  }
}

int Interruption::exitStatus() const {
  return impl_->firstSignal == 0 ? 0 : exitStatusForSignal(impl_->firstSignal);
}

const char* Interruption::name() const {
  if (impl_->firstSignal == 0) return nullptr;
  static thread_local std::string name;
  name = signalName(impl_->firstSignal);
  return name.c_str();
}

void Interruption::wake() {
  pthread_kill(impl_->supervisor, kWakeSignal);
}
