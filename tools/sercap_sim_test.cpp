// Runs the built sercap-sim and plays the part of sercap on its terminal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "report_text.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Generous: the machines running the tests are shared.
constexpr auto kPatience = std::chrono::seconds(20);

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class Sim {
 public:
  // Starts sercap-sim with args and extra "NAME=value" environment entries.
  Sim(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    int out[2];
    if (::pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<std::string> argStore{SERCAP_SIM_PATH};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<std::string> envStore(env);
    for (char** e = environ; *e != nullptr; ++e) envStore.emplace_back(*e);
    std::vector<char*> argv;
    std::vector<char*> envp;
    for (std::string& a : argStore) argv.push_back(a.data());
    for (std::string& e : envStore) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    stdout_ = out[0];
  }

  ~Sim() {
    if (line_ >= 0) ::close(line_);
    if (stdout_ >= 0) ::close(stdout_);
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  // The first line of its standard output: the terminal's path.
  std::string readPath() {
    std::string line;
    char c;
    while (waitReadable(stdout_) && ::read(stdout_, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }

  // Opens the terminal the way a capture program would.
  bool openLine(const std::string& path) {
    line_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios tio{};
    if (line_ < 0 || ::tcgetattr(line_, &tio) != 0) return false;
    ::cfmakeraw(&tio);
    return ::tcsetattr(line_, TCSANOW, &tio) == 0;
  }

  bool send(const std::string& bytes) {
    return ::write(line_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }

  // Reads until `size` bytes have arrived, the line hangs up or patience ends.
  std::string receive(size_t size) {
    std::string got;
    char buf[4096];
    while (got.size() < size && waitReadable(line_)) {
      const ssize_t n = ::read(line_, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }

  // True once the line reports the hang-up (read gives end of file or EIO).
  bool hungUp() {
    char c;
    return waitReadable(line_) && ::read(line_, &c, 1) <= 0;
  }

  void stop(int sig) { ::kill(pid_, sig); }

  // The exit status, or -1 if it did not end normally.
  int wait() {
    int status = 0;
    const pid_t pid = pid_;
    pid_ = -1;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  }

 private:
  static bool waitReadable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kPatience).count())) == 1;
  }

  pid_t pid_ = -1;
  int stdout_ = -1;
  int line_ = -1;
};

class SimRun : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/sercap-sim-run-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string dir_;
};

TEST_F(SimRun, WaitsForAByteThenPlaysTheSampleAndRecords) {
  const std::string portLink = dir_ + "/sercap/ports/COM9";
  Sim sim({"--wait-rx", "--link", "COM9", "--record", dir_ + "/rx.bin", "--times", dir_ + "/rx.txt",
           "--hold", "600"},
          {"XDG_CONFIG_HOME=" + dir_});
  const std::string path = sim.readPath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(fs::read_symlink(portLink), path);
  ASSERT_TRUE(sim.openLine(path));

  ASSERT_TRUE(sim.send("^"));
  const std::string sample = sampleReport()[0].bytes;
  EXPECT_EQ(sim.receive(sample.size()), sample);

  // The byte that started it, recorded raw and with its arrival time.
  EXPECT_EQ(slurp(dir_ + "/rx.bin"), "^");
  std::istringstream times(slurp(dir_ + "/rx.txt"));
  long long ms = -1;
  std::string hex;
  times >> ms >> hex;
  EXPECT_GE(ms, 0);
  EXPECT_EQ(hex, "5e");
  EXPECT_FALSE(times >> ms);

  sim.stop(SIGTERM);
  EXPECT_EQ(sim.wait(), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(portLink)));
}

TEST_F(SimRun, HangsUpOnlyAfterTheReportWasRead) {
  Sim sim({"--wait-rx", "--hangup-after-play", "--repeat", "3", "--text", R"(a\x00\xff\n)"});
  const std::string path = sim.readPath();
  ASSERT_TRUE(sim.openLine(path));
  ASSERT_TRUE(sim.send("x"));
  // A slow reader: a hang-up right after playing would throw the report away.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const std::string once("a\0\xff\n", 4);
  EXPECT_EQ(sim.receive(12), once + once + once);
  EXPECT_TRUE(sim.hungUp());
  EXPECT_EQ(sim.wait(), 0);
}

TEST_F(SimRun, PlaysALargeRawFileWithoutLosingBytes) {
  std::string big;
  for (int i = 0; i < 300'000; ++i) big += static_cast<char>(i * 7 % 251);
  std::ofstream(dir_ + "/big.bin", std::ios::binary) << big;
  Sim sim({"--wait-rx", "--raw", "--report", dir_ + "/big.bin", "--repeat", "2", "--hold", "600"});
  ASSERT_TRUE(sim.openLine(sim.readPath()));
  ASSERT_TRUE(sim.send("^"));
  EXPECT_TRUE(sim.receive(2 * big.size()) == big + big);
  sim.stop(SIGINT);
  EXPECT_EQ(sim.wait(), 0);
}

TEST_F(SimRun, RefusesBadInputWithStatus2) {
  const std::vector<std::vector<std::string>> cases = {
      {"--text", R"(bad \q escape)"},
      {"--report", "/nonexistent/report.txt"},
      {"--report", "/"},
      {"--rate", "fast"},
      {"--record", "/nonexistent/dir/rx.bin"},
  };
  for (const auto& args : cases) {
    Sim sim(args);
    EXPECT_EQ(sim.readPath(), "") << args[1];
    EXPECT_EQ(sim.wait(), 2) << args[1];
  }
}

}  // namespace
