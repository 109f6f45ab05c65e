// Port presence on Windows, decided without opening the port: opening one
// makes a real driver raise DTR and RTS (and lower them at close), which
// resets boards that wire DTR to their reset line, and some ports take
// seconds to open. A port is present when the system's map of serial
// devices names it, or, as a second source, when its DOS device name is
// defined. A port that another program holds is present all the same.
#include <windows.h>

#include <string>
#include <vector>

#include "serial/port_presence.h"

namespace {

constexpr wchar_t kSerialDeviceMap[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";

// "COM7" from "\\.\COM7".
std::wstring comNameOf(const std::string& device) {
  const size_t start = device.rfind('\\');
  const std::string name = start == std::string::npos ? device : device.substr(start + 1);
  return std::wstring(name.begin(), name.end());
}

// Whether a value of the serial device map (device -> "COMn") names `name`.
bool inSerialDeviceMap(const std::wstring& name) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSerialDeviceMap, 0, KEY_QUERY_VALUE, &key) != 0) {
    return false;
  }
  bool found = false;
  for (DWORD index = 0; !found; ++index) {
    wchar_t valueName[256];
    DWORD valueNameLength = 256;
    wchar_t data[64] = {};
    DWORD dataBytes = sizeof data - sizeof(wchar_t);  // room for a terminator
    DWORD type = 0;
    LONG status = RegEnumValueW(key, index, valueName, &valueNameLength, nullptr, &type,
                                reinterpret_cast<BYTE*>(data), &dataBytes);
    if (status == ERROR_MORE_DATA) continue;  // too long to be a COM name
    if (status != ERROR_SUCCESS) break;
    found = type == REG_SZ && lstrcmpiW(data, name.c_str()) == 0;
  }
  RegCloseKey(key);
  return found;
}

bool dosDeviceDefined(const std::wstring& name) {
  std::vector<wchar_t> target(1024);
  if (QueryDosDeviceW(name.c_str(), target.data(), static_cast<DWORD>(target.size())) != 0) {
    return true;
  }
  return GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}

}  // namespace

bool portPresent(const std::string& device, const PortEnvironment&) {
  const std::wstring name = comNameOf(device);
  return inSerialDeviceMap(name) || dosDeviceDefined(name);
}
