// The settings each lower layer needs, taken from the one CaptureSettings the
// command line fills: the line's for the port, the filter's and the worker's
// for the capture.
#pragma once

#include "capture/byte_filter.h"
#include "capture/capture_worker.h"
#include "control/capture_settings.h"
#include "serial/line_settings.h"
#include "serial/port_opening.h"

LineSettings lineSettingsOf(const CaptureSettings& settings);
PortRequest portRequestOf(const CaptureSettings& settings);
FilterSettings filterSettingsOf(const CaptureSettings& settings);
WorkerSettings workerSettingsOf(const CaptureSettings& settings);
