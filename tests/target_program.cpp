#include "target_program.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace {

std::string winePrefix() {
  const char* prefix = std::getenv("WINEPREFIX");
  return prefix != nullptr && *prefix != '\0'
             ? std::string(prefix)
             : std::string(std::getenv("HOME") ? std::getenv("HOME") : "") + "/.wine";
}

std::string dosDevice(int number) {
  return winePrefix() + "/dosdevices/com" + std::to_string(number);
}

// Runs a shell command quietly; true when it succeeded.
bool quietly(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Ends the prefix's server and every Wine process with it, and starts a
// persistent one again, as the test stage keeps it; the next Wine program
// then starts Wine's services anew, which read the port list.
bool restartWineServer() {
  quietly("wineserver -k");
  quietly("wineserver -w");
  return quietly("wineserver -p") && quietly("wine cmd /c exit");
}

// A claim is a file created exclusively beside the prefix's device links;
// the prefix is made afresh for each test stage, so none outlives it.
std::string claimFile(int number) {
  return winePrefix() + "/sercap-test-com" + std::to_string(number) + ".claimed";
}

}  // namespace

const std::string& sercapProgram() {
  static const std::string program = [] {
    const char* chosen = std::getenv("SERCAP_TEST_PROGRAM");
    return std::string(chosen != nullptr && *chosen != '\0' ? chosen : SERCAP_BINARY);
  }();
  return program;
}

bool underWine() {
  const std::string& p = sercapProgram();
  return p.size() > 4 && p.compare(p.size() - 4, 4, ".exe") == 0;
}

int usageStatus() {
  return underWine() ? 256 : 4;
}

int fileErrorStatus() {
  return underWine() ? -1 : 255;
}

int interruptedStatus() {
  return underWine() ? static_cast<int>(0xC000013AU) : 130;
}

int diskFullError() {
  return underWine() ? 112 : 28;
}

int hangUpError() {
  return underWine() ? 109 : 5;
}

bool linkWinePort(int number, const std::string& device) {
  removeWinePort(number);
  std::error_code failed;
  std::filesystem::create_symlink(device, dosDevice(number), failed);
  return !failed;
}

bool defineWinePorts(const std::map<int, std::string>& devices) {
  for (const auto& [number, device] : devices) {
    if (!quietly("wine reg add 'HKLM\\Software\\Wine\\Ports' /v COM" + std::to_string(number) +
                 " /t REG_SZ /d '" + device + "' /f")) {
      return false;
    }
  }
  return restartWineServer();
}

void undefineWinePorts(const std::map<int, std::string>& devices) {
  for (const auto& [number, device] : devices) {
    quietly("wine reg delete 'HKLM\\Software\\Wine\\Ports' /v COM" + std::to_string(number) +
            " /f");
    removeWinePort(number);
  }
  // Until its server ends, Wine keeps the devices of the ports it took up.
  restartWineServer();
}

int claimWinePortNumber() {
  for (int number = 30; number < 100; ++number) {
    const int fd = ::open(claimFile(number).c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
    if (fd >= 0) {
      ::close(fd);
      return number;
    }
  }
  return 0;
}

void releaseWinePortNumber(int number) {
  std::error_code ignored;
  std::filesystem::remove(claimFile(number), ignored);
}

void removeWinePort(int number) {
  std::error_code ignored;
  std::filesystem::remove(dosDevice(number), ignored);
}
