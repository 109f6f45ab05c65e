#include "program_run.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace {

std::vector<std::string> mergedEnvironment(const ProgramRun::Environment& overrides) {
  std::vector<std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    std::string name = text.substr(0, text.find('='));
    bool replaced = false;
    for (const auto& [key, value] : overrides) replaced = replaced || key == name;
    if (!replaced) merged.push_back(text);
  }
  // Of two overrides of one name, the later wins.
  for (size_t i = 0; i < overrides.size(); ++i) {
    bool overridden = false;
    for (size_t j = i + 1; j < overrides.size(); ++j) {
      overridden = overridden || overrides[j].first == overrides[i].first;
    }
    if (!overridden) merged.push_back(overrides[i].first + "=" + overrides[i].second);
  }
  return merged;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> list;
  for (std::string& text : texts) list.push_back(text.data());
  list.push_back(nullptr);
  return list;
}

bool endsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string lowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// The session and the first command-line word of a process; false once it is gone.
bool processInfo(pid_t pid, pid_t* session, std::string* command) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  // Fields after the command name, which is in parentheses and may hold spaces.
  size_t close = line.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream rest(line.substr(close + 2));
  std::string state;
  long parent = 0, group = 0, sessionId = 0;
  rest >> state >> parent >> group >> sessionId;
  *session = static_cast<pid_t>(sessionId);
  std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
  std::getline(cmdline, *command, '\0');
  return true;
}

// Whether process `pid` runs in the folder `folder` (a canonical path).
bool runsIn(pid_t pid, const std::string& folder) {
  std::error_code error;
  const auto cwd = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/cwd", error);
  return !error && cwd.string() == folder;
}

std::string withLineFeeds(std::string text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

}  // namespace

ProgramRun::ProgramRun(const std::string& binary, const std::vector<std::string>& args,
                       const std::string& cwd, const Environment& env, Output output) {
  std::vector<std::string> argvTexts = {binary};
  std::string spawned = binary;
  program_ = std::filesystem::path(binary).filename().string();
  std::error_code error;
  cwd_ = std::filesystem::canonical(cwd, error).string();
  if (endsWith(binary, ".exe")) {
    underWine_ = true;
    const char* chosen = std::getenv("SERCAP_TEST_LAUNCHER");
    const std::string launcher =
        chosen != nullptr && *chosen != '\0'
            ? std::string(chosen)
            : (std::filesystem::path(binary).parent_path() / "sercap-launch.exe").string();
    argvTexts = {"wine", launcher, outputDir_.file("status"), binary};
    spawned = "wine";
  }
  argvTexts.insert(argvTexts.end(), args.begin(), args.end());
  std::vector<std::string> envTexts = mergedEnvironment(env);
  std::vector<char*> argv = pointers(argvTexts);
  std::vector<char*> envp = pointers(envTexts);
  const std::string outPath = outputDir_.file("stdout");
  const std::string errPath = outputDir_.file("stderr");

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int pipeEnds[2] = {-1, -1};
  if (output == Output::kAllClosed) {
    for (int fd : {0, 1, 2}) posix_spawn_file_actions_addclose(&actions, fd);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (output == Output::kStdoutClosed) {
      posix_spawn_file_actions_addclose(&actions, 1);
    } else if (output == Output::kPipe || output == Output::kNonBlockingPipe) {
      if (pipe2(pipeEnds, O_CLOEXEC) != 0) throw std::runtime_error("no pipe for the output");
      if (output == Output::kNonBlockingPipe) fcntl(pipeEnds[1], F_SETFL, O_NONBLOCK);
      posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
      outputPipe_ = pipeEnds[0];
    } else {
      posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                       0644);
    }
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
  }
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());

  // Its own session: a terminal it opened by mistake as its controlling one
  // would then send it SIGHUP on hang-up, which the tests would see.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&defaults, s);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);

  startedAt_ = Clock::now();
  int failed =
      posix_spawnp(&pid_, spawned.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (pipeEnds[1] >= 0) ::close(pipeEnds[1]);
  if (failed != 0) {
    closeOutputPipe();
    throw std::runtime_error("cannot start " + binary + ": " + std::strerror(failed));
  }
}

ProgramRun::~ProgramRun() {
  if (!reaped_) {
    signalRun(SIGKILL, false);
    reap(0);
  }
  closeOutputPipe();
}

void ProgramRun::closeOutputPipe() {
  if (outputPipe_ >= 0) ::close(outputPipe_);
  outputPipe_ = -1;
}

void ProgramRun::signalRun(int signalNumber, bool programOnly) {
  if (!underWine_) {
    ::kill(pid_, signalNumber);
    return;
  }
  // Wine starts the program as a process of its own, named by its Windows
  // path, in the launcher's session; or, started in a process group of its
  // own, in a session of its own, found by the folder it runs in.
  const std::string name = lowerCase(program_);
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string id = entry.path().filename().string();
    if (id.empty() || !std::isdigit(static_cast<unsigned char>(id[0]))) continue;
    const pid_t pid = static_cast<pid_t>(std::stol(id));
    pid_t session = 0;
    std::string command;
    if (!processInfo(pid, &session, &command)) continue;
    const bool inRun = session == pid_;
    const bool isProgram =
        pid != pid_ && endsWith(lowerCase(command), name) && (inRun || runsIn(pid, cwd_));
    if (!inRun && !isProgram) continue;
    if (isProgram || !programOnly) ::kill(pid, signalNumber);
  }
}

bool ProgramRun::reap(int options) {
  if (reaped_) return true;
  for (;;) {
    pid_t done = ::waitpid(pid_, &waitStatus_, options);
    if (done < 0 && errno == EINTR) continue;
    if (done == pid_) {
      reaped_ = true;
      endedAt_ = Clock::now();
    }
    return reaped_;
  }
}

bool ProgramRun::running() {
  return !reap(WNOHANG);
}

void ProgramRun::signal(int signalNumber) {
  if (!reaped_) signalRun(signalNumber, true);
}

std::string ProgramRun::readOutput() const {
  std::string out = readWholeFile(outputDir_.file("stdout"));
  return underWine_ ? withLineFeeds(out) : out;
}

std::string ProgramRun::outputSoFar() const {
  return readOutput();
}

std::string ProgramRun::waitForFirstLine(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    std::string out = outputSoFar();
    size_t end = out.find('\n');
    if (end != std::string::npos) return out.substr(0, end);
    if (Clock::now() >= deadline || !running()) return "";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

ProgramResult ProgramRun::wait(std::chrono::seconds deadline) {
  const auto end = Clock::now() + deadline;
  ProgramResult result;
  while (!reap(WNOHANG)) {
    if (Clock::now() >= end) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  result.finished = reaped_;
  if (!reaped_) {
    signalRun(SIGKILL, false);
    reap(0);
  }
  if (underWine_) {
    // The launcher writes the status once the program has ended by itself.
    std::ifstream status(outputDir_.file("status"));
    result.exited = static_cast<bool>(status >> result.status);
  } else if (WIFEXITED(waitStatus_)) {
    result.exited = true;
    result.status = WEXITSTATUS(waitStatus_);
  } else if (WIFSIGNALED(waitStatus_)) {
    result.status = WTERMSIG(waitStatus_);
  }
  result.seconds = std::chrono::duration<double>(endedAt_ - startedAt_).count();
  result.out = readOutput();
  result.err = readWholeFile(outputDir_.file("stderr"));
  return result;
}
