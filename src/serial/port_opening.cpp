// Opening the port: each step in order, the first failure reported with its
// message and ending the opening with its result code.
#include "serial/port_opening.h"

#include <string>

#include "serial/network_address.h"

namespace {

constexpr int kOpenFailed = 1;
constexpr int kPurgeFailed = 2;
constexpr int kSettingsRefused = 8;
constexpr int kTimeoutsFailed = 16;
constexpr int kWriteRequestFailed = 32;
constexpr int kEventMaskRefused = 64;
constexpr int kReadRequestFailed = 64;

LineSettings lineSettingsOf(const CaptureSettings& settings) {
  LineSettings lineSettings;
  lineSettings.baudRate = settings.baudRate;
  lineSettings.parityCode = settings.parityCode;
  lineSettings.stopBitCode = settings.stopBitCode;
  lineSettings.flowControl = settings.flowControl;
  return lineSettings;
}

void traceSettings(const CaptureSettings& settings, const std::string& shown, std::FILE* console) {
  if (settings.logLevel < 1) return;
  std::fprintf(console, "\n>>>%s, rate %d ,%d dataBits, parityCode(%d), stopBitCode(%d)\n",
               shown.c_str(), static_cast<int>(settings.baudRate), 8,
               static_cast<int>(settings.parityCode), static_cast<int>(settings.stopBitCode));
}

// A port on another machine: connecting and applying the settings is one
// step there, its failures reported as the local steps' are.
int openNetworkPort(const CaptureSettings& settings, const std::string& shown, SerialLine& line,
                    std::FILE* console) {
  traceSettings(settings, shown, console);
  bool settingsRefused = false;
  int err = line.openNetwork(settings.portName, lineSettingsOf(settings), &settingsRefused,
                             settings.logLevel >= 1 ? console : nullptr);
  if (err == 0) return 0;
  if (settingsRefused) {
    std::fprintf(console, "\n>>>SetCommState error : %d\n", err);
    return kSettingsRefused;
  }
  std::fprintf(console, "\n>>>open com %s error : %d\n", shown.c_str(), err);
  return kOpenFailed;
}

}  // namespace

int openPort(const CaptureSettings& settings, const PortEnvironment& env, SerialLine& line,
             std::FILE* console) {
  // Messages name the port as the user gave it, never the device behind it.
  const std::string shown = shownDevicePath(settings.portName);
  if (isNetworkPort(settings.portName)) return openNetworkPort(settings, shown, line, console);

  std::string device;
  int err = resolvePort(settings.portName, env, &device);
  if (err == 0) err = line.open(device);
  if (err != 0) {
    std::fprintf(console, "\n>>>open com %s error : %d\n", shown.c_str(), err);
    return kOpenFailed;
  }

  // Queue sizes: nothing to ask for here, the line's own input queue has a
  // fixed size (on Windows open() asks the driver for its queues).

  err = line.purge();
  if (err != 0) {
    std::fprintf(console, "\n>>>PurgeComm error : %d\n", err);
    return kPurgeFailed;
  }

  traceSettings(settings, shown, console);
  err = line.applySettings(lineSettingsOf(settings));
  if (err != 0) {
    std::fprintf(console, "\n>>>SetCommState error : %d\n", err);
    return kSettingsRefused;
  }

  // The remaining steps exist on some platforms only (serial_line.h). The
  // requests are made with and without -nov: the line always reads and
  // writes asynchronously, -nov only decides whether transmissions wait.
  err = line.setReadTimeouts();
  if (err != 0) {
    std::fprintf(console, "\n>>>GetCommTimeouts error : %d\n", err);
    return kTimeoutsFailed;
  }
  err = line.armLineEvent();
  if (err != 0) {
    std::fprintf(console, "\n>>>SetCommMask error : %d\n", err);
    return kEventMaskRefused;
  }
  if (line.createWriteRequest() != 0) return kWriteRequestFailed;
  if (line.createReadRequest() != 0) return kReadRequestFailed;
  return 0;
}
