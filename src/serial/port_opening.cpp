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
  for (const char* file : request.runFiles) {
    if (err == 0 && file != nullptr) err = checkNotCaptureFile(device, file);
  }
  return err != 0 ? err : line.open(device);
}

bool isThePort(const PortRequest& request, const PortEnvironment& env, const char* file) {
  std::string device;
  if (file == nullptr || isNetworkPort(request.portName) ||
      resolvePort(request.portName, env, &device) != 0) {
    return false;
  }
  return checkNotCaptureFile(device, file) != 0;
}

int finishOpening(const PortRequest& request, int openError, SerialLine& line, std::FILE* console) {
  const LineFault fault =
      openError != 0 ? LineFault{LineStep::kOpen, openError} : setUpLine(request, line, console);
  return reportFault(request, fault, console);
}

LineFault setUpLine(const PortRequest& request, SerialLine& line, std::FILE* console) {
  if (int err = line.purge()) return {LineStep::kPurge, err};
  if (request.showSettings) {
    const LineSettings& s = request.line;
    std::fprintf(console, "\n>>>%s, rate %d ,%d dataBits, parityCode(%d), stopBitCode(%d)\n",
                 shownDevicePath(request.portName).c_str(), static_cast<int>(s.baudRate), 8,
                 static_cast<int>(s.parity), static_cast<int>(s.stopBits));
  }
  const LineFault fault = line.configure(request.line);
  const std::string note = line.readingNote();
  if (fault.step == LineStep::kNone && request.showSettings && !note.empty()) {
    std::fprintf(console, "\n>>>%s %s\n", shownDevicePath(request.portName).c_str(), note.c_str());
  }
  return fault;
}

int reportFault(const PortRequest& request, const LineFault& fault, std::FILE* console) {
  // Messages name the port as the user gave it, never the device behind it.
  return report(fault, shownDevicePath(request.portName), console);
}
