// What every whole-program test needs: a working folder to run sercap in, an
// empty port map, the run itself, and the checks that hold for every run.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "program_run.h"
#include "pty_device.h"
#include "target_program.h"
#include "testing/temp_dir.h"

class SercapTest : public ::testing::Test {
 protected:
  ~SercapTest() override {
    for (const auto& [device, number] : winePorts_) removeWinePort(number);
  }

  // Starts sercap (build/sercap, or see target_program.h) in work() with
  // XDG_CONFIG_HOME at config(), unless `env` says otherwise.
  std::unique_ptr<ProgramRun> start(const std::vector<std::string>& args,
                                    ProgramRun::Environment env = {},
                                    ProgramRun::Output output = ProgramRun::Output::kFile) {
    env.insert(env.begin(), {"XDG_CONFIG_HOME", config_.path()});
    return std::make_unique<ProgramRun>(sercapProgram(), args, work_.path(), env, output);
  }

  // The port argument that reaches the device: its path on Linux; under Wine
  // a COM name linked to it, numbered from 100 up (far above the ports Wine
  // gives the machine's own serial devices) by the pseudo-terminal's number.
  std::string port(const PtyDevice& device) { return portFor(device.slavePath()); }

  // The same for a pseudo-terminal that another process holds (sercap-sim).
  std::string portFor(const std::string& path) {
    if (!underWine()) return path;
    auto found = winePorts_.find(path);
    if (found == winePorts_.end()) {
      const int number = 100 + std::stoi(path.substr(path.find_last_of('/') + 1));
      if (!linkWinePort(number, path)) throw std::runtime_error("cannot link COM" + path);
      found = winePorts_.emplace(path, number).first;
    }
    return "COM" + std::to_string(found->second);
  }

  // Makes COM`number` name `device`: a link in the port map on Linux, in the
  // Wine prefix under Wine.
  void publishPort(int number, const std::string& device) {
    if (underWine()) {
      if (!linkWinePort(number, device)) throw std::runtime_error("cannot link a Wine port");
      winePorts_.emplace("COM" + std::to_string(number), number);
      return;
    }
    std::filesystem::create_directories(config_.file("sercap/ports"));
    std::filesystem::create_symlink(device,
                                    config_.file("sercap/ports/COM" + std::to_string(number)));
  }

  // The device path that sercap's messages show for port(device).
  std::string shownPort(const PtyDevice& device) {
    const std::string name = port(device);
    return underWine() ? "\\\\.\\" + name : name;
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

  // Starts sercap on `portArgument`, a port that reaches the device (its own
  // line, or a server in front of it), and waits until it has the port open
  // and configured: the caller's arguments must make it transmit (-ntx), and
  // the first transmitted byte proves it. Returns the run, or nullptr after
  // a failure was recorded.
  std::unique_ptr<ProgramRun> startOn(PtyDevice& device, const std::string& portArgument,
                                      std::vector<std::string> args,
                                      ProgramRun::Environment env = {},
                                      ProgramRun::Output output = ProgramRun::Output::kFile) {
    args.insert(args.begin(), portArgument);
    auto run = start(args, env, output);
    if (!awaitTransmission(device, *run)) return nullptr;
    return run;
  }
  // startOn() the device's own line.
  std::unique_ptr<ProgramRun> startOnLine(PtyDevice& device, std::vector<std::string> args,
                                          ProgramRun::Environment env = {},
                                          ProgramRun::Output output = ProgramRun::Output::kFile) {
    return startOn(device, port(device), std::move(args), env, output);
  }

  // Waits until sercap's output holds `text`.
  static bool awaitOutput(ProgramRun& run, const std::string& text,
                          std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto deadline = ProgramRun::Clock::now() + timeout;
    while (run.outputSoFar().find(text) == std::string::npos) {
      if (ProgramRun::Clock::now() >= deadline || !run.running()) {
        return run.outputSoFar().find(text) != std::string::npos;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
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
  // What the work folder's file `name` holds once it holds anything that
  // begins with `beginning` (a Ctrl-Y or a write has reached it while the
  // run goes on), or what it holds when `timeout` passes first.
  std::string awaitWorkFile(const std::string& name, const std::string& beginning = "",
                            std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
    const auto end = std::chrono::steady_clock::now() + timeout;
    std::string text = workFile(name);
    auto ready = [&beginning](const std::string& t) {
      return !t.empty() && t.starts_with(beginning);
    };
    while (!ready(text) && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      text = workFile(name);
    }
    return text;
  }

 private:
  TempDir work_;
  TempDir config_;
  std::map<std::string, int> winePorts_;  // device path (or COM name) -> COM number
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
