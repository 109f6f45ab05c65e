#include "target_program.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace {

std::string dosDevice(int number) {
  const char* prefix = std::getenv("WINEPREFIX");
  std::string base = prefix != nullptr && *prefix != '\0'
                         ? std::string(prefix)
                         : std::string(std::getenv("HOME") ? std::getenv("HOME") : "") + "/.wine";
  return base + "/dosdevices/com" + std::to_string(number);
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

void removeWinePort(int number) {
  std::error_code ignored;
  std::filesystem::remove(dosDevice(number), ignored);
}
