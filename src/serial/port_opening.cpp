// Opening the port: each step in order, the first failure reported with its
// message and ending the opening with its result code.
#include "serial/port_opening.h"

#include <string>

#include "serial/capture_file_check.h"

namespace {

int report(const LineFault& fault, const std::string& shown, std::FILE* console) {
  const LineStepReport& report = reportFor(fault.step);
  if (report.message != nullptr) {
    if (fault.step == LineStep::kOpen) {
      std::fprintf(console, report.message, shown.c_str(), fault.error);
    } else {
      std::fprintf(console, report.message, fault.error);
    }
  }
  return report.result;
}

}  // namespace

int openPort(const PortRequest& request, const PortEnvironment& env, SerialLine& line,
             std::FILE* console) {
  return finishOpening(request, openDevice(request, env, line), line, console);
}

int openDevice(const PortRequest& request, const PortEnvironment& env, SerialLine& line) {
  // A COM name is resolved at every open, so that a port map entry follows
  // the device it points at; a network port names its server, no device of
  // this machine.
  std::string device = request.portName;
  if (isNetworkPort(device)) return line.open(device);
  int err = resolvePort(request.portName, env, &device);
  if (err == 0 && request.captureFile != nullptr) {
    err = checkNotCaptureFile(device, request.captureFile);
  }
  return err != 0 ? err : line.open(device);
}

int finishOpening(const PortRequest& request, int openError, SerialLine& line, std::FILE* console) {
  // Messages name the port as the user gave it, never the device behind it.
  const std::string shown = shownDevicePath(request.portName);
  if (openError != 0) return report({LineStep::kOpen, openError}, shown, console);

  int err = line.purge();
  if (err != 0) return report({LineStep::kPurge, err}, shown, console);

  if (request.showSettings) {
    const LineSettings& s = request.line;
    std::fprintf(console, "\n>>>%s, rate %d ,%d dataBits, parityCode(%d), stopBitCode(%d)\n",
                 shown.c_str(), static_cast<int>(s.baudRate), 8, static_cast<int>(s.parityCode),
                 static_cast<int>(s.stopBitCode));
  }
  return report(line.configure(request.line), shown, console);
}
