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
  // Starts build/sercap in work() with XDG_CONFIG_HOME at config().
  std::unique_ptr<ProgramRun> start(const std::vector<std::string>& args) {
    return std::make_unique<ProgramRun>(
        SERCAP_BINARY, args, work_.path(),
        ProgramRun::Environment{{"XDG_CONFIG_HOME", config_.path()}});
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
                                          size_t firstTransmission = 1) {
    args.insert(args.begin(), device.slavePath());
    auto run = start(args);
    std::string got = device.receive(firstTransmission, std::chrono::seconds(20));
    if (got.size() != firstTransmission) {
      ADD_FAILURE() << "no transmission from sercap within 20 s; output so far:\n"
                    << run->outputSoFar();
      return nullptr;
    }
    return run;
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
