// Each layer's settings, field by field from CaptureSettings.
#include "control/settings_parts.h"

namespace {

// "-flowctrl": 0 holds DTR and RTS low, 2 hands them to the handshake, any
// other number holds them high.
ModemLines modemLinesOf(int32_t flowControl) {
  if (flowControl == 0) return ModemLines::kLow;
  if (flowControl == 2) return ModemLines::kHandshake;
  return ModemLines::kHigh;
}

}  // namespace

LineSettings lineSettingsOf(const CaptureSettings& settings) {
  LineSettings line;
  line.baudRate = settings.baudRate;
  // The settings hold the platform's codes, which are the enums' values.
  line.parity = static_cast<Parity>(settings.parityCode);
  line.stopBits = static_cast<StopBits>(settings.stopBitCode);
  line.modemLines = modemLinesOf(settings.flowControl);
  line.readByArrival = settings.dialogue.enabled();
  return line;
}

PortRequest portRequestOf(const CaptureSettings& settings) {
  PortRequest request;
  request.portName = settings.portName;
  request.line = lineSettingsOf(settings);
  request.showSettings = settings.logLevel >= 1;
  request.runFiles = {settings.outputPath, settings.rawPath, settings.summaryPath};
  return request;
}

FilterSettings filterSettingsOf(const CaptureSettings& settings) {
  FilterSettings filter;
  filter.beginMarker = settings.beginMarker;
  filter.endMarker = settings.endMarker;
  filter.filterOff = settings.filterOff;
  filter.showRejected = settings.showRejected;
  filter.logLevel = settings.logLevel;
  return filter;
}

WorkerSettings workerSettingsOf(const CaptureSettings& settings) {
  WorkerSettings worker;
  worker.timeoutSeconds = settings.timeoutSeconds;
  worker.logLevel = settings.logLevel;
  worker.progress = settings.progress;
  worker.survivesLoss = settings.reconnect;
  worker.filter = filterSettingsOf(settings);
  worker.dialogue = settings.dialogue;
  return worker;
}
