// The capture supervisor. Its one-second sleep is cut short by an
// interruption (which ends the run like a time-out, keeping everything
// captured) and by the worker's end (which shuts the run down at once).
#include "control/supervisor.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "capture/capture_file.h"
#include "capture/capture_worker.h"
#include "control/capture_state.h"
#include "control/command_line.h"
#include "control/exit_status.h"
#include "control/help.h"
#include "control/line_keeper.h"
#include "control/port_listing.h"
#include "control/port_wait.h"
#include "control/prompt_answers.h"
#include "control/rack_run.h"
#include "control/settings_parts.h"
#include "control/thread_start.h"
#include "control/usage.h"
#include "serial/device_line.h"
#include "serial/line_signals.h"
#include "serial/network/network_line.h"
#include "serial/port_opening.h"

namespace {

using Wake = Interruption::Wake;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr milliseconds kPass{1000};
// A waiting transmission gives up after this long without progress, so a
// device that takes nothing never holds the run.
constexpr milliseconds kTransmitStall{1000};
// How often a waiting transmission looks for an interruption.
constexpr milliseconds kTransmitSlice{100};

// Waits while the line takes a transmission, until all of it is taken, it
// stalls, or the next pass is due (the rest then goes out as the line takes
// it, so that the time-out keeps its pace); an interruption or the worker's
// end cuts the wait short. Answers to prompts go out meanwhile.
Wake awaitTransmission(const CaptureState& state, SerialLine& port, Interruption& interruption,
                       PromptAnswers& answers, Clock::time_point nextPass) {
  size_t left = port.unsent();
  auto lastProgress = Clock::now();
  while (left != 0 && Clock::now() < nextPass) {
    Wake wake = interruption.sleepFor(milliseconds(0));
    if (wake == Wake::kInterrupted) return wake;
    if (!state.workerRunning.load()) return Wake::kWoken;
    answers.sendDue(port);
    size_t now = port.awaitSent(kTransmitSlice);
    if (now < left) {
      left = now;
      lastProgress = Clock::now();
    } else if (Clock::now() - lastProgress >= kTransmitStall) {
      break;
    }
  }
  return Wake::kElapsed;
}

// When the pass after one due at `due` is due: a second later, or now if the
// process was held up longer than that.
Clock::time_point passAfter(Clock::time_point due) {
  return std::max(due + kPass, Clock::now());
}

// The supervising loop. Ends when the countdown is still at 0 after a pass's
// sleep (the worker restarts it on every read), when the worker has ended
// (and the keeper does not wait for the port's return), or when the run is
// interrupted. A pass's sleep is cut short only by an interruption or the
// worker's end. Passes are due once a second, whatever a waiting
// transmission took of that second.
void supervise(const CaptureSettings& settings, CaptureState& state, SerialLine& port,
               Interruption& interruption, LineKeeper& keeper, Deadline& deadline,
               PromptAnswers& answers) {
  int32_t transmissionsLeft = settings.txCount;
  const size_t txLength = std::strlen(settings.txString);
  auto passDue = Clock::now() + kPass;
  while (state.countdown.get() != 0) {
    state.countdown.tick();
    if (!keeper.lineInUse()) break;
    if (deadline.passed()) return;
    Wake wake = keeper.sleepUntil(passDue, interruption);
    if (wake != Wake::kElapsed) return;
    passDue = passAfter(passDue);
    // Transmissions pause while the port is away; none is counted.
    if (transmissionsLeft != 0 && !keeper.away()) {
      if (transmissionsLeft > 0) --transmissionsLeft;  // a negative count never runs out
      port.transmit(settings.txString, txLength);
      // "-nov" clears useOverlapped: the supervisor then waits for each
      // transmission to go out.
      const bool waitForTransmission = !settings.useOverlapped;
      if (waitForTransmission) {
        Wake sent = awaitTransmission(state, port, interruption, answers, passDue);
        // A lost port is the next pass's to take over.
        if (sent == Wake::kInterrupted || (sent == Wake::kWoken && !keeper.lineInUse())) return;
      }
    }
  }
  // An interruption that came while the run was starting, or with a zero time-out.
  interruption.sleepFor(milliseconds(0));
}

// The kind of line the port name asks for. A network line traces the
// server's answers where the settings are shown.
std::unique_ptr<SerialLine> lineFor(const CaptureSettings& settings, std::FILE* console) {
  if (isNetworkPort(settings.portName)) {
    return std::make_unique<NetworkLine>(settings.logLevel >= 1 ? console : nullptr);
  }
  return std::make_unique<DeviceLine>();
}

// A worker that cannot be started (no memory or threads left) ends the run
// as a failed wait for data would: the capture cannot wait for any.
void startWorker(CaptureState& state, CaptureWorker& worker, std::thread& thread,
                 std::FILE* console) {
  state.workerRunning.store(true);
  int error = startThread(thread, [&worker] { worker.run(); });
  if (error == 0) return;
  state.workerRunning.store(false);
  std::fprintf(console, "\n>>>CreateThread error : %d\n", error);
  state.result.store(kResultLineFailed);
}

// After an end that was asked for, output still waiting must not hold the
// process for long; after one the device or the line brought, it may go out.
void closePort(SerialLine& port, bool endAsked) {
  if (endAsked) {
    port.closeSoon();
  } else {
    port.close();
  }
}

void stopWorker(CaptureState& state, SerialLine& port, std::thread& worker) {
  if (!worker.joinable()) return;
  state.stopRequested.store(true);
  port.stopWaiting();
  worker.join();
}

// How long the start waits for a missing port, and the deadline it keeps.
PortWaitLimit waitLimitOf(const CaptureSettings& settings, const ReadTime& started) {
  PortWaitLimit limit;
  limit.seconds = settings.waitSeconds;
  if (settings.maxTimeSeconds >= 0)
    limit.deadline = started.monotonic + std::chrono::seconds(settings.maxTimeSeconds);
  return limit;
}

// How the run ended, from what stands once the worker has stopped. An
// interruption is named first, as its status is the one the process ends
// with.
RunEnd howTheRunEnded(const CaptureState& state, int opened, bool portAway,
                      const Interruption& interruption, const Deadline& deadline) {
  if (interruption.exitStatus() != 0) return RunEnd::kInterrupted;
  if (opened != 0) return RunEnd::kOpenFailure;
  // A run that ends while a lost port is waited for ends as the loss would have.
  if (portAway) return RunEnd::kLineFailure;
  if (deadline.reached()) return RunEnd::kDeadline;
  if (state.filter.end == FilterState::End::kCtrlZ) return RunEnd::kCtrlZ;
  if (state.filter.end == FilterState::End::kEndPhrase) return RunEnd::kEndPhrase;
  if (state.filter.end == FilterState::End::kEndText) return RunEnd::kEndText;
  if (state.result.load() != 0) return RunEnd::kLineFailure;
  return RunEnd::kTimeOut;
}

// A run that ends before capturing: the capture or raw file cannot be opened.
int endBeforeCapture(RackRun& rack, const Interruption& interruption) {
  RackRun::End end{};
  end.end = RunEnd::kFileFailure;
  end.result = kResultFileError;
  end.interruptedStatus = interruption.exitStatus();
  end.signal = interruption.name();
  return rack.finish(end);
}

// A run that captured, or tried to: its end as the summary tells it, and
// its exit status. `result` is the run's, a file failure included.
int endOfCapture(RackRun& rack, const CaptureState& state, int opened, const LineKeeper& keeper,
                 int result, const Interruption& interruption) {
  RackRun::End end;
  end.end = howTheRunEnded(state, opened, keeper.away(), interruption, rack.deadline());
  end.result = result;
  end.interruptedStatus = interruption.exitStatus();
  end.signal = interruption.name();
  end.bytesRead = state.totalByteRead;
  end.fileBytes = state.file->bytesWritten();
  end.lines = state.file->lineFeedsWritten();
  end.firstRead = state.firstRead;
  end.lastRead = state.lastRead;
  end.reconnects = keeper.returns();
  end.endText = state.endText;
  end.stepsMatched = state.stepsMatched.load();
  return rack.finish(end);
}

}  // namespace

int runCapture(const CaptureSettings& settings, bool startInSegment, const PortEnvironment& env,
               std::FILE* console, Interruption& interruption, const ReadTime& started) {
  RackRun rack(settings, started, console);
  if (isThePort(portRequestOf(settings), env, settings.summaryPath)) rack.summaryIsThePort();
  CaptureFile file(console);
  if (file.open(settings.outputPath) != 0) {
    std::fprintf(console, "\n>>>unable to open file %s\n", settings.outputPath);
    return endBeforeCapture(rack, interruption);
  }
  if (rack.openRaw() != 0) return endBeforeCapture(rack, interruption);
  std::unique_ptr<SerialLine> line = lineFor(settings, console);
  SerialLine& port = *line;
  CaptureState state;
  state.file = &file;
  state.port = &port;
  state.raw = rack.raw();
  state.filter.inSegment = startInSegment;
  state.onWorkerEnd = [&interruption] { interruption.wake(); };
  state.onStepMatched = [&interruption] { interruption.wake(); };
  const PortRequest request = portRequestOf(settings);
  const PortOpening opening =
      openPortWaiting(request, env, port, waitLimitOf(settings, started), interruption, console);
  const int opened = opening.result;
  state.result.store(opened);
  state.countdown.set(settings.timeoutSeconds);
  state.tap = rack.tapFrom(std::chrono::steady_clock::now());

  CaptureWorker worker(workerSettingsOf(settings), state, console);
  std::thread workerThread;
  LineKeeper::WorkerThread thread;
  thread.start = [&] { startWorker(state, worker, workerThread, console); };
  thread.join = [&] {
    if (workerThread.joinable()) workerThread.join();
  };
  LineKeeper keeper(request, env, settings.signalList, state, thread, console);
  PromptAnswers answers(settings.dialogue.steps, state, settings.logLevel, console);
  keeper.betweenSleeps([&] { answers.sendDue(port); });
  if (opening.result != 0) {
    if (!opening.interrupted) {
      std::fprintf(console, "\ndefault is %s -t %d -f %s -r %d , %s parity(%d), %d stopBit(%d)\n",
                   settings.portName, settings.timeoutSeconds, settings.outputPath,
                   settings.baudRate, settings.parityName, settings.parityCode,
                   settings.stopBitsShown(), settings.stopBitCode);
    }
  } else {
    if (settings.signalList != nullptr) {
      applySignalList(
          settings.signalList, [&port](LineSignal signal) { return port.applySignal(signal); },
          console);
    }
    thread.start();
  }

  supervise(settings, state, port, interruption, keeper, rack.deadline(), answers);
  int result = state.result.load();
  // An interruption or the time-out: the worker was still at work.
  const bool endAsked = interruption.exitStatus() != 0 || state.workerRunning.load();

  // A capture file that takes nothing must not hold the worker, nor the close.
  file.giveUpWhenStalled();
  if (state.raw != nullptr) state.raw->giveUpWhenStalled();
  stopWorker(state, port, workerThread);
  // Prompts found in the worker's last read: their answers were due before the end.
  if (port.isOpen() && !keeper.away()) answers.sendDue(port);
  rack.workerStopped(port.lineErrors());
  file.close();
  if (state.raw != nullptr) state.raw->close();
  closePort(port, endAsked);
  std::fputs("\n", console);

  const bool fileFailed = file.error() != 0 || (state.raw != nullptr && state.raw->error() != 0);
  if (fileFailed && result == 0) result = kResultFileError;
  return endOfCapture(rack, state, opened, keeper, result, interruption);
}

int runProgram(int argc, char** argv, std::FILE* console, Interruption& interruption) {
  // A deadline counts from here, and the summary names this as the start.
  const ReadTime started = ReadTime::now();
  CaptureSettings settings;
  ParseResult parsed = parseCommandLine(argc, argv, settings, console);
  switch (parsed.outcome) {
    case ParseOutcome::kListPorts:
      printBannerAndPorts(console, argc > 0 ? argv[0] : "sercap", processPortEnvironment());
      return 0;
    case ParseOutcome::kUsage:
      printUsage(console, argv[0], settings);
      return exitStatusFor(kResultUsage);
    case ParseOutcome::kMarkerOrder:
      return exitStatusFor(kResultUsage);
    case ParseOutcome::kHelp:
      printHelp(console, argv[0]);
      return 0;
    case ParseOutcome::kVersion:
      printVersion(console, argv[0]);
      return 0;
    case ParseOutcome::kRun:
      break;
  }
  return runCapture(settings, parsed.startInSegment, processPortEnvironment(), console,
                    interruption, started);
}
