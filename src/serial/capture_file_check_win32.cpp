// A file of the run against the port on Windows: a COM port is named only
// by its COM name, so the two are compared as names. (The capture file and
// the raw copy, opened before the port, would also hold it already.)
#include <windows.h>

#include <cctype>

#include "serial/capture_file_check.h"

namespace {

// "\\.\COM12", "com12:" and "COM12" alike as "COM12".
std::string comName(std::string name) {
  if (name.rfind("\\\\.\\", 0) == 0) name.erase(0, 4);
  if (!name.empty() && name.back() == ':') name.pop_back();
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

}  // namespace

int checkNotCaptureFile(const std::string& device, const std::string& captureFile) {
  const std::string port = comName(device);
  return port.rfind("COM", 0) == 0 && port == comName(captureFile) ? ERROR_ACCESS_DENIED : 0;
}
