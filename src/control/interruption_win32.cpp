// Interruption on Windows. A console control handler takes Ctrl-C,
// Ctrl-Break, the closing of the console and shut-down, and sets an event
// that stays set, so every later sleep reports the interruption. The
// worker's wake-up is a second, auto-reset event.
//
// Windows ends the process as soon as the handler returns from a close or
// shut-down event, so the handler then waits until the process has finished
// with its files (the destructor says so) before it returns. Ctrl-C and
// Ctrl-Break are simply taken: the run ends by itself. Log-off is ignored:
// only services receive it, whenever any user logs off, and their run must
// go on.
#include <windows.h>

#include <atomic>

#include "control/interruption.h"
#include "control/interruption_win32.h"

namespace {

// The status Windows reports for a console program ended by Ctrl-C.
constexpr DWORD kStatusControlCExit = 0xC000013AUL;
// The handler's wait for the end of the run; Windows itself allows a closing
// console about five seconds.
constexpr DWORD kFinishWaitMillis = 10000;

struct Events {
  HANDLE interrupted = nullptr;  // manual reset: set once, for good
  HANDLE wake = nullptr;         // auto reset: one wake-up per wake()
  HANDLE finished = nullptr;     // manual reset: the process has closed its files
  std::atomic<bool> taken{false};
  std::atomic<DWORD> firstType{0};  // the first event taken, once taken
};

// The handler runs on a thread of its own and may outlive main(): the events
// are never released.
Events events;

}  // namespace

BOOL WINAPI consoleControlHandler(DWORD type) {
  // Set before `taken`, so whoever sees `taken` sees the type. A logoff is
  // never taken: only services hear of it, whenever any user logs off.
  if (type != CTRL_LOGOFF_EVENT && !events.taken.load()) events.firstType.store(type);
  switch (type) {
    case CTRL_LOGOFF_EVENT:
      return TRUE;
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      events.taken.store(true);
      SetEvent(events.interrupted);
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      events.taken.store(true);
      SetEvent(events.interrupted);
      WaitForSingleObject(events.finished, kFinishWaitMillis);
      return TRUE;
    default:
      return FALSE;
  }
}

struct Interruption::Impl {};

Interruption::Interruption() : impl_(nullptr) {
  if (events.interrupted == nullptr) {
    events.interrupted = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    events.wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    events.finished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  // Ctrl-C may come disabled: the attribute is inherited (a process started
  // in a new process group, or by one that ignores Ctrl-C itself), and a rack
  // must still be able to stop the run.
  SetConsoleCtrlHandler(nullptr, FALSE);
  SetConsoleCtrlHandler(&consoleControlHandler, TRUE);
}

// The handler stays: an interruption still to come must not end the process
// by default while it returns from main() and flushes its output.
Interruption::~Interruption() {
  SetEvent(events.finished);
}

Interruption::Wake Interruption::sleepFor(std::chrono::milliseconds limit) {
  // The interruption first: when both are set, it wins.
  HANDLE both[2] = {events.interrupted, events.wake};
  const DWORD millis = limit.count() <= 0 ? 0 : static_cast<DWORD>(limit.count());
  switch (WaitForMultipleObjects(2, both, FALSE, millis)) {
    case WAIT_OBJECT_0:
      return Wake::kInterrupted;
    case WAIT_OBJECT_0 + 1:
      return Wake::kWoken;
    case WAIT_TIMEOUT:
      return Wake::kElapsed;
    default:
      // Without working events there is only the plain sleep left.
      Sleep(millis);
      return events.taken.load() ? Wake::kInterrupted : Wake::kElapsed;
  }
}

int Interruption::exitStatus() const {
  return events.taken.load() ? static_cast<int>(kStatusControlCExit) : 0;
}

const char* Interruption::name() const {
  if (!events.taken.load()) return nullptr;
  switch (events.firstType.load()) {
    case CTRL_C_EVENT:
      return "CTRL_C_EVENT";
    case CTRL_BREAK_EVENT:
      return "CTRL_BREAK_EVENT";
    case CTRL_CLOSE_EVENT:
      return "CTRL_CLOSE_EVENT";
    case CTRL_LOGOFF_EVENT:
      return "CTRL_LOGOFF_EVENT";
    default:
      return "CTRL_SHUTDOWN_EVENT";
  }
}

void Interruption::wake() {
  SetEvent(events.wake);
}
