// The capture supervisor. Interruption (SIGINT, SIGTERM, SIGHUP) is taken
// synchronously: the signals are blocked for the run and the supervisor's
// one-second sleep is a wait for them, so an interrupted run shuts down
// exactly like a timed-out one and keeps everything captured.
#include "control/supervisor.h"

#include <signal.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <thread>

#include "capture/capture_file.h"
#include "capture/capture_worker.h"
#include "control/capture_state.h"
#include "control/command_line.h"
#include "control/exit_status.h"
#include "control/port_listing.h"
#include "control/usage.h"
#include "serial/line_signals.h"
#include "serial/port_opening.h"
#include "serial/serial_line.h"

namespace {

sigset_t interruptSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

// Sleeps `millis` milliseconds unless an interrupting signal comes first.
// Returns that signal's number, or 0.
int sleepUnlessInterrupted(long millis) {
  sigset_t set = interruptSignals();
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const long long deadline = now.tv_sec * 1000LL + now.tv_nsec / 1000000 + millis;
  for (;;) {
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long left = deadline - (now.tv_sec * 1000LL + now.tv_nsec / 1000000);
    if (left < 0) left = 0;
    timespec wait = {static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000};
    int signalNumber = sigtimedwait(&set, nullptr, &wait);
    if (signalNumber > 0) return signalNumber;
    if (errno != EINTR || left == 0) return 0;
  }
}

// The supervising loop. Returns the number of the signal that interrupted
// the run, or 0.
int supervise(const CaptureSettings& settings, CaptureState& state, SerialLine& port) {
  int32_t transmissionsLeft = settings.txCount;
  const size_t txLength = std::strlen(settings.txString);
  while (state.countdown.get() != 0) {
    state.countdown.tick();
    if (!state.workerRunning.load()) {
      state.countdown.set(0);
      break;
    }
    if (int signalNumber = sleepUnlessInterrupted(1000)) return signalNumber;
    if (transmissionsLeft != 0) {
      --transmissionsLeft;
      port.write(settings.txString, txLength, !settings.useOverlapped);
    }
  }
  // A signal that came while the run was starting, or with a zero time-out.
  return sleepUnlessInterrupted(0);
}

void stopWorker(CaptureState& state, SerialLine& port, std::thread& worker) {
  if (!worker.joinable()) return;
  state.stopRequested.store(true);
  port.requestStop();
  worker.join();
}

}  // namespace

int runCapture(const CaptureSettings& settings, bool startInSegment, const PortEnvironment& env,
               std::FILE* console) {
  CaptureFile file(console);
  if (file.open(settings.outputPath) != 0) {
    std::fprintf(console, "\n>>>unable to open file %s\n", settings.outputPath);
    return exitStatusFor(kResultFileError);
  }
  sigset_t signals = interruptSignals();
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &signals, &previous);

  SerialLine port;
  CaptureState state;
  state.file = &file;
  state.port = &port;
  state.filter.inSegment = startInSegment;
  state.result.store(openPort(settings, env, port, console));
  state.countdown.set(settings.timeoutSeconds);

  CaptureWorker worker(settings, state, console);
  std::thread workerThread;
  if (state.result.load() != 0) {
    std::fprintf(console, "\ndefault is %s -t %d -f %s -r %d , %s parity(%d), %d stopBit(%d)\n",
                 settings.portName, settings.timeoutSeconds, settings.outputPath, settings.baudRate,
                 settings.parityName, settings.parityCode, settings.stopBitsShown(),
                 settings.stopBitCode);
  } else {
    if (settings.signalList != nullptr) {
      applySignalList(
          settings.signalList, [&port](int code) { return port.applySignal(code); }, console);
    }
    state.workerRunning.store(true);
    workerThread = std::thread([&worker] { worker.run(); });
  }

  int signalNumber = supervise(settings, state, port);
  int result = state.result.load();

  stopWorker(state, port, workerThread);
  file.close();
  port.close();
  std::fputs("\n", console);
  // Unblocked, a signal still pending would kill the process before its
  // output is flushed; the run has already answered it by ending.
  while (sleepUnlessInterrupted(0) != 0) {
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);

  if (signalNumber != 0) return exitStatusForSignal(signalNumber);
  if (file.error() != 0 && result == 0) result = kResultFileError;
  return exitStatusFor(result);
}

int runProgram(int argc, char** argv, std::FILE* console) {
  CaptureSettings settings;
  ParseResult parsed = parseCommandLine(argc, argv, settings, console);
  switch (parsed.outcome) {
    case ParseOutcome::kListPorts:
      printBannerAndPorts(console, argc > 0 ? argv[0] : "sercap", PortEnvironment::fromProcess());
      return 0;
    case ParseOutcome::kUsage:
      printUsage(console, argv[0], settings);
      return exitStatusFor(kResultUsage);
    case ParseOutcome::kMarkerOrder:
      return exitStatusFor(kResultUsage);
    case ParseOutcome::kRun:
      break;
  }
  return runCapture(settings, parsed.startInSegment, PortEnvironment::fromProcess(), console);
}
