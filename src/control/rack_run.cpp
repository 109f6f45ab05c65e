// The long options' part of a capture run.
#include "control/rack_run.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "control/exit_status.h"

#ifndef SERCAP_VERSION
#error "SERCAP_VERSION must be defined by the build (from the VERSION file)"
#endif

namespace {

// Names are UTF-8 on every platform (Windows' command line is converted), so
// they are read as such rather than in the system's code page.
std::filesystem::path utf8Path(const char* name) {
  return std::filesystem::path(std::u8string(reinterpret_cast<const char8_t*>(name)));
}

// Whether two paths lead to one file that exists.
bool sameFile(const char* a, const char* b) {
  std::error_code ignored;
  return b != nullptr && std::filesystem::equivalent(utf8Path(a), utf8Path(b), ignored);
}

}  // namespace

int rackResult(int result, bool failTextFound, bool expectEnd, RunEnd end) {
  if (result != 0) return result;
  if (failTextFound) return kResultFailText;
  if (expectEnd && (end == RunEnd::kTimeOut || end == RunEnd::kDeadline)) return kResultNoEndMark;
  return 0;
}

Deadline::Deadline(std::chrono::steady_clock::time_point start, int32_t seconds) {
  if (seconds >= 0) at_ = start + std::chrono::seconds(seconds);
}

bool Deadline::passed() {
  if (!reached_ && at_ && std::chrono::steady_clock::now() >= *at_) reached_ = true;
  return reached_;
}

RackRun::RackRun(const CaptureSettings& settings, const ReadTime& started, std::FILE* console)
    : settings_(settings),
      started_(started),
      console_(console),
      deadline_(started.monotonic, settings.maxTimeSeconds),
      raw_(console),
      failTexts_(settings.failTexts, console) {}

int RackRun::openRaw() {
  if (settings_.rawPath == nullptr) return 0;
  // The raw bytes must not be mixed into the capture file.
  int error = sameFile(settings_.rawPath, settings_.outputPath) ? EEXIST : 0;
  if (error == 0) error = raw_.open(settings_.rawPath);
  if (error != 0) std::fprintf(console_, "\n>>>unable to open file %s\n", settings_.rawPath);
  return error;
}

LineTap* RackRun::tapFrom(std::chrono::steady_clock::time_point portOpened) {
  tap_.emplace(LineStamper(settings_.timestamps, portOpened), &failTexts_);
  if (!tap_->enabled()) tap_.reset();
  return tap_ ? &*tap_ : nullptr;
}

void RackRun::workerStopped(const std::optional<LineErrors>& lineErrors) {
  failTexts_.finish();
  lineErrors_ = lineErrors;
  if (lineErrors && lineErrors->lostData()) {
    std::fprintf(console_,
                 "\n>>>the driver lost data %lld times (overrun %lld, buffer overrun %lld)\n",
                 static_cast<long long>(lineErrors->overrun + lineErrors->bufferOverrun),
                 static_cast<long long>(lineErrors->overrun),
                 static_cast<long long>(lineErrors->bufferOverrun));
  }
}

int RackRun::finish(const EndOfRun& run) {
  const int result =
      rackResult(run.result, failTexts_.matchCount() > 0, settings_.expectEnd, run.end);
  const int status = run.interruptedStatus != 0 ? run.interruptedStatus : exitStatusFor(result);
  if (settings_.summaryPath == nullptr) return status;
  RunSummary s;
  s.version = SERCAP_VERSION;
  s.port = settings_.portName;
  s.captureFile = settings_.outputPath;
  s.started = started_.wall;
  s.ended = std::chrono::system_clock::now();
  s.run = run;
  s.exitStatus = status;
  s.failMatches = failTexts_.matches();
  s.lineErrors = lineErrors_;
  const DialogueSettings& dialogue = settings_.dialogue;
  s.endTextsGiven = !dialogue.endTexts.empty();
  if (run.endText) s.endText = dialogue.endTexts[*run.endText];
  if (!dialogue.steps.empty()) {
    s.expect = RunSummary::ExpectProgress{dialogue.steps.size(), run.stepsMatched};
  }
  const char* path = settings_.summaryPath;
  const bool toConsole = std::strcmp(path, "-") == 0;
  // Renamed over the capture or the raw file, the summary would replace it;
  // written to the port, it would be sent to the device.
  if (!toConsole && (sameFile(path, settings_.outputPath) || sameFile(path, settings_.rawPath))) {
    std::fprintf(console_, "\n>>>unable to write summary %s : it is a capture file\n", path);
  } else if (summaryIsPort_) {
    std::fprintf(console_, "\n>>>unable to write summary %s : it is the port\n", path);
  } else {
    writeSummary(path, s, console_);
  }
  return status;
}
