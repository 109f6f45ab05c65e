// Each layer's settings, field by field from CaptureSettings.
#include "control/settings_parts.h"

LineSettings lineSettingsOf(const CaptureSettings& settings) {
  LineSettings line;
  line.baudRate = settings.baudRate;
  line.parityCode = settings.parityCode;
  line.stopBitCode = settings.stopBitCode;
  line.flowControl = settings.flowControl;
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
  return worker;
}
