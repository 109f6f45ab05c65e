// The capture supervisor. Its one-second sleep is cut short by an
// interruption (which ends the run like a time-out, keeping everything
// captured) and by the worker's end (which shuts the run down at once).
#include "control/supervisor.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
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
Wake awaitTransmission(const WorkerState& state, SerialLine& port, Interruption& interruption,
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
void supervise(const CaptureSettings& settings, WorkerState& state, SerialLine& port,
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
      if (settings.waitForEachTransmission) {
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

// How long the start waits for a missing port, and the deadline it keeps.
PortWaitLimit waitLimitOf(const CaptureSettings& settings, const ReadTime& started) {
  PortWaitLimit limit;
  limit.seconds = settings.waitSeconds;
  if (settings.maxTimeSeconds >= 0)
    limit.deadline = started.monotonic + std::chrono::seconds(settings.maxTimeSeconds);
  return limit;
}

// One capture run, step by step: the files, the port, the start of the
// capture, the supervision, the shutdown and how the run ended. Every step
// runs on the main thread, which alone opens and closes what the run uses.
class CaptureRun {
 public:
  CaptureRun(const CaptureSettings& settings, const PortEnvironment& env, std::FILE* console,
             Interruption& interruption, const ReadTime& started)
      : settings_(settings),
        env_(env),
        console_(console),
        interruption_(interruption),
        started_(started),
        rack_(settings, started, console),
        state_(lineFor(settings, console), console),
        request_(portRequestOf(settings)),
        keeper_(request_, env, settings.signalList, state_.shared, keeperThread(), console),
        answers_(settings.dialogue.steps, state_.shared, settings.logLevel, console) {
    keeper_.betweenSleeps([this] { answers_.sendDue(*state_.line); });
  }

  // Returns the process's exit status.
  int run(bool startInSegment) {
    if (isThePort(request_, env_, settings_.summaryPath)) rack_.summaryIsThePort();
    if (!openFiles()) return rack_.finish(endBeforeCapture());
    openPort(startInSegment);
    startCapture();
    supervise(settings_, state_.shared, *state_.line, interruption_, keeper_, rack_.deadline(),
              answers_);
    return rack_.finish(endOfRun(shutDown()));
  }

 private:
  // The capture file, then the raw copy's. False when one cannot be opened
  // (its message printed).
  bool openFiles() {
    if (state_.file.open(settings_.outputPath) != 0) {
      std::fprintf(console_, "\n>>>unable to open file %s\n", settings_.outputPath);
      return false;
    }
    return rack_.openRaw() == 0;
  }

  // Opens the port, waiting for it if asked, and readies what the worker
  // shares with the supervisor; the countdown starts here.
  void openPort(bool startInSegment) {
    WorkerState& shared = state_.shared;
    shared.raw = rack_.raw();
    shared.filter.inSegment = startInSegment;
    shared.onWorkerEnd = [this] { interruption_.wake(); };
    shared.onStepMatched = [this] { interruption_.wake(); };
    const PortOpening opening = openPortWaiting(
        request_, env_, *state_.line, waitLimitOf(settings_, started_), interruption_, console_);
    state_.opened = opening.result;
    openingInterrupted_ = opening.interrupted;
    shared.result.store(opening.result);
    shared.countdown.set(settings_.timeoutSeconds);
    shared.tap = rack_.tapFrom(std::chrono::steady_clock::now());
    worker_.emplace(workerSettingsOf(settings_), shared, console_);
  }

  // On an open port, applies the signals and starts the worker; on a failed
  // one, repeats the settings in force, unless the user interrupted the wait.
  void startCapture() {
    if (state_.opened != 0) {
      if (!openingInterrupted_) {
        std::fprintf(console_, "\n%s\n", settingsInForce(settings_).c_str());
      }
      return;
    }
    if (settings_.signalList != nullptr) {
      SerialLine& line = *state_.line;
      applySignalList(
          settings_.signalList, [&line](LineSignal signal) { return line.applySignal(signal); },
          console_);
    }
    startWorker();
  }

  // A worker that cannot be started (no memory or threads left) ends the
  // run as a failed wait for data would: the capture cannot wait for any.
  void startWorker() {
    WorkerState& shared = state_.shared;
    shared.workerRunning.store(true);
    int error = startThread(state_.workerThread, [this] { worker_->run(); });
    if (error == 0) return;
    shared.workerRunning.store(false);
    std::fprintf(console_, "\n>>>CreateThread error : %d\n", error);
    shared.result.store(kResultLineFailed);
  }

  LineKeeper::WorkerThread keeperThread() {
    LineKeeper::WorkerThread thread;
    thread.start = [this] { startWorker(); };
    thread.join = [this] {
      if (state_.workerThread.joinable()) state_.workerThread.join();
    };
    return thread;
  }

  // Stops the worker, closes the files and the port, and prints the run's
  // last line feed. Returns the run's result, a file failure included.
  int shutDown() {
    WorkerState& shared = state_.shared;
    SerialLine& line = *state_.line;
    int result = shared.result.load();
    // An interruption or the time-out: the worker was still at work.
    const bool endAsked = interruption_.exitStatus() != 0 || shared.workerRunning.load();

    // A capture file that takes nothing must not hold the worker, nor the close.
    state_.file.giveUpWhenStalled();
    if (shared.raw != nullptr) shared.raw->giveUpWhenStalled();
    if (state_.workerThread.joinable()) {
      shared.stopRequested.store(true);
      line.stopWaiting();
      state_.workerThread.join();
    }
    // Prompts found in the worker's last read: their answers were due before the end.
    if (line.isOpen() && !keeper_.away()) answers_.sendDue(line);
    rack_.workerStopped(line.lineErrors());
    state_.file.close();
    if (shared.raw != nullptr) shared.raw->close();
    // After an end that was asked for, output still waiting must not hold
    // the process for long; after one the device or the line brought, it may
    // go out.
    if (endAsked) {
      line.closeSoon();
    } else {
      line.close();
    }
    std::fputs("\n", console_);

    const bool fileFailed =
        state_.file.error() != 0 || (shared.raw != nullptr && shared.raw->error() != 0);
    if (fileFailed && result == 0) result = kResultFileError;
    return result;
  }

  // How the run ended, from what stands once the worker has stopped. An
  // interruption is named first, as its status is the one the process ends
  // with.
  RunEnd howTheRunEnded() const {
    const WorkerState& shared = state_.shared;
    if (interruption_.exitStatus() != 0) return RunEnd::kInterrupted;
    if (state_.opened != 0) return RunEnd::kOpenFailure;
    // A run that ends while a lost port is waited for ends as the loss would have.
    if (keeper_.away()) return RunEnd::kLineFailure;
    if (rack_.deadline().reached()) return RunEnd::kDeadline;
    if (shared.filter.end == FilterState::End::kCtrlZ) return RunEnd::kCtrlZ;
    if (shared.filter.end == FilterState::End::kEndPhrase) return RunEnd::kEndPhrase;
    if (shared.filter.end == FilterState::End::kEndText) return RunEnd::kEndText;
    if (shared.result.load() != 0) return RunEnd::kLineFailure;
    return RunEnd::kTimeOut;
  }

  // A run that ends before capturing: the capture or raw file cannot be opened.
  EndOfRun endBeforeCapture() const {
    EndOfRun run;
    run.end = RunEnd::kFileFailure;
    run.result = kResultFileError;
    run.interruptedStatus = interruption_.exitStatus();
    run.signal = interruption_.name();
    return run;
  }

  // A run that captured, or tried to; `result` is the run's.
  EndOfRun endOfRun(int result) const {
    const WorkerState& shared = state_.shared;
    EndOfRun run;
    run.end = howTheRunEnded();
    run.result = result;
    run.interruptedStatus = interruption_.exitStatus();
    run.signal = interruption_.name();
    run.bytesRead = shared.totalByteRead;
    run.fileBytes = state_.file.bytesWritten();
    run.lines = state_.file.lineFeedsWritten();
    if (shared.firstRead) run.firstByte = shared.firstRead->wall;
    if (shared.lastRead) run.lastByte = shared.lastRead->wall;
    run.reconnects = keeper_.returns();
    run.endText = shared.endText;
    run.stepsMatched = shared.stepsMatched.load();
    return run;
  }

  const CaptureSettings& settings_;
  const PortEnvironment& env_;
  std::FILE* console_;
  Interruption& interruption_;
  const ReadTime started_;
  RackRun rack_;
  CaptureState state_;
  const PortRequest request_;
  LineKeeper keeper_;
  PromptAnswers answers_;
  bool openingInterrupted_ = false;
  // Made once the port is open: the line tap counts from then.
  std::optional<CaptureWorker> worker_;
};

}  // namespace

int runCapture(const CaptureSettings& settings, bool startInSegment, const PortEnvironment& env,
               std::FILE* console, Interruption& interruption, const ReadTime& started) {
  CaptureRun run(settings, env, console, interruption, started);
  return run.run(startInSegment);
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
