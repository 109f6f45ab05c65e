// Opening the port: each step in order, the first failure reported with its
// message and ending the opening with its result code.
#include "serial/port_opening.h"

#include <string>

namespace {

constexpr int kOpenFailed = 1;
constexpr int kPurgeFailed = 2;
constexpr int kSettingsRefused = 8;

}  // namespace

int openPort(const CaptureSettings& settings, const PortEnvironment& env, SerialLine& line,
             std::FILE* console) {
  // Messages name the port as the user gave it, never the device behind it.
  const std::string shown = shownDevicePath(settings.portName);

  std::string device;
  int err = resolvePort(settings.portName, env, &device);
  if (err == 0) err = line.open(device);
  if (err != 0) {
    std::fprintf(console, "\n>>>open com %s error : %d\n", shown.c_str(), err);
    return kOpenFailed;
  }

  // Queue sizes: nothing to ask for, the line's own input queue has a fixed size.

  err = line.purge();
  if (err != 0) {
    std::fprintf(console, "\n>>>PurgeComm error : %d\n", err);
    return kPurgeFailed;
  }

  if (settings.logLevel >= 1) {
    std::fprintf(console, "\n>>>%s, rate %d ,%d dataBits, parityCode(%d), stopBitCode(%d)\n",
                 shown.c_str(), static_cast<int>(settings.baudRate), 8,
                 static_cast<int>(settings.parityCode), static_cast<int>(settings.stopBitCode));
  }
  LineSettings lineSettings;
  lineSettings.baudRate = settings.baudRate;
  lineSettings.parityCode = settings.parityCode;
  lineSettings.stopBitCode = settings.stopBitCode;
  lineSettings.flowControl = settings.flowControl;
  err = line.applySettings(lineSettings);
  if (err != 0) {
    std::fprintf(console, "\n>>>SetCommState error : %d\n", err);
    return kSettingsRefused;
  }

  // Read time-outs and the event mask have no counterpart here and cannot
  // fail: reads never wait (VMIN 0, VTIME 0), and the line itself wakes the
  // worker on a line feed.

  // Nor do the read and write requests: reads come from the line's own queue
  // and always complete at once, and writes are plain non-blocking writes.
  return 0;
}
