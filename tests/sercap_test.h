// What every whole-program test needs: a working folder to run sercap in, an
// empty port map, the run itself, and the checks that hold for every run.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "program_run.h"
#include "pty_device.h"
#include "testing/temp_dir.h"

class SercapTest : public ::testing::Test {
 protected:
  // Starts build/sercap in work() with XDG_CONFIG_HOME at config(), unless
  // `env` says otherwise.
  std::unique_ptr<ProgramRun> start(const std::vector<std::string>& args,
                                    ProgramRun::Environment env = {},
                                    ProgramRun::Output output = ProgramRun::Output::kFile) {
    env.insert(env.begin(), {"XDG_CONFIG_HOME", config_.path()});
    return std::make_unique<ProgramRun>(SERCAP_BINARY, args, work_.path(), env, output);
  }

  // Waits for the run's end and checks what holds for every run: it ended
  // by itself, through exit(), and printed nothing on standard error (where
  // sanitizers report).
  ProgramResult finish(ProgramRun& run, std::chrono::seconds deadline = std::chrono::seconds(60)) {
    ProgramResult result = run.wait(deadline);
    EXPECT_TRUE(result.finished) << "sercap overran " << deadline.count() << " s; output:\n"
                                 << result.out;
    EXPECT_TRUE(result.exited) << "sercap was killed by signal " << result.status;
    EXPECT_EQ(result.err, "");
    return result;
  }

  // Starts sercap on the device's line and waits until it has the port open
  // and configured: the caller's arguments must make it transmit (-ntx), and
  // the first transmitted byte proves it. Returns the run, or nullptr after
  // a failure was recorded.
  std::unique_ptr<ProgramRun> startOnLine(PtyDevice& device, std::vector<std::string> args,
                                          ProgramRun::Environment env = {},
                                          ProgramRun::Output output = ProgramRun::Output::kFile) {
    args.insert(args.begin(), device.slavePath());
    auto run = start(args, env, output);
    if (!awaitTransmission(device, *run)) return nullptr;
    return run;
  }

  // Waits for the first byte that `run` transmits to the device.
  static bool awaitTransmission(PtyDevice& device, ProgramRun& run) {
    if (device.receive(1, std::chrono::seconds(20)).size() == 1) return true;
    const bool running = run.running();
    ADD_FAILURE() << "no transmission from sercap within 20 s; "
                  << (running ? "still running" : "ended") << ", output so far:\n"
                  << run.outputSoFar();
    return false;
  }

  const TempDir& work() const { return work_; }
  const TempDir& config() const { return config_; }
  std::string workFile(const std::string& name) const { return readWholeFile(work_.file(name)); }

 private:
  TempDir work_;
  TempDir config_;
};

// The text as the capture file stores it: every line feed as CR LF.
inline std::string crlf(const std::string& text) {
  std::string stored;
  for (char c : text) {
    if (c == '\n') stored += '\r';
    stored += c;
  }
  return stored;
}
