// One run of a program under test: started with posix_spawn in a folder of
// the test's choosing, standard output and error captured to files, reaped
// with a deadline and killed when it overruns, so a hung program fails its
// test instead of hanging the suite.
//
// A Windows program (a path ending in ".exe") runs under Wine, started by
// sercap-launch.exe (from the same folder, or as SERCAP_TEST_LAUNCHER
// names it), which reports the program's whole
// 32-bit exit status (Wine passes on only 8 bits). Its output's CR LF line
// ends read as line feeds here, and signals go to the program itself.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "testing/temp_dir.h"

struct ProgramResult {
  bool finished = false;  // ended by itself before the deadline
  bool exited = false;    // ended through exit(), not killed by a signal
  int status = -1;        // exit status; the signal's number when killed
  std::string out;        // standard output
  std::string err;        // standard error
  double seconds = 0;     // from start to end
};

class ProgramRun {
 public:
  using Clock = std::chrono::steady_clock;
  using Environment = std::vector<std::pair<std::string, std::string>>;

  // Where the program's standard output goes.
  enum class Output {
    kFile,             // a file, read back by outputSoFar() and wait()
    kPipe,             // a pipe whose reading end the test holds (outputPipe())
    kNonBlockingPipe,  // the same, its writing end set O_NONBLOCK
    kStdoutClosed,     // descriptor 1 closed
    kAllClosed,        // descriptors 0, 1 and 2 closed
  };

  // Starts `binary` with `args` (argv[0] is the binary's path) in `cwd`, with
  // this process's environment plus `env` (which replaces variables of the
  // same name; of two entries of one name, the later). The program gets its own session, no
  // standard input, no blocked or ignored signals. Throws std::runtime_error if it cannot start.
  ProgramRun(const std::string& binary, const std::vector<std::string>& args,
             const std::string& cwd, const Environment& env = {}, Output output = Output::kFile);
  // Kills the program if it is still running.
  ~ProgramRun();
  ProgramRun(const ProgramRun&) = delete;
  ProgramRun& operator=(const ProgramRun&) = delete;

  pid_t pid() const { return pid_; }
  // With Output::kPipe: the reading end, or -1 once closeOutputPipe() closed it.
  int outputPipe() const { return outputPipe_; }
  void closeOutputPipe();
  Clock::time_point startedAt() const { return startedAt_; }

  // True while the program has not ended.
  bool running();
  void signal(int signalNumber);

  // Standard output so far (the program may buffer it).
  std::string outputSoFar() const;
  // Waits until standard output holds a line feed; returns the first line
  // without it, or "" when none came within `timeout`.
  std::string waitForFirstLine(std::chrono::milliseconds timeout);

  // Waits for the end, up to `deadline` from now; kills the program when it
  // overruns. Call once.
  ProgramResult wait(std::chrono::seconds deadline = std::chrono::seconds(60));

 private:
  bool reap(int options);
  // Signals every process of the run's session, or under Wine the program's
  // own process (the launcher passes on nothing).
  void signalRun(int signalNumber, bool programOnly);
  std::string readOutput() const;

  TempDir outputDir_;
  std::string program_;  // its file name, for finding it under Wine
  std::string cwd_;      // the folder it runs in, canonical, likewise
  bool underWine_ = false;
  int outputPipe_ = -1;
  pid_t pid_ = -1;
  bool reaped_ = false;
  int waitStatus_ = 0;
  Clock::time_point startedAt_;
  Clock::time_point endedAt_;
};
