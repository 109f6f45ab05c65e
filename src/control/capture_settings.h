// Everything the command line can change, with its default. One instance per
// process, filled by the command-line parser and read by every other part.
#pragma once

#include <cstdint>
#include <vector>

#include "capture/dialogue.h"
#include "capture/line_stamper.h"
#include "serial/line_settings.h"

struct CaptureSettings {
  // Text fields point into the argument list or at built-in constants.
  const char* portName = "COM1";
  const char* outputPath = "zurout.spt";
  int32_t baudRate = 9600;
  // The platform's codes, a Parity and a StopBits (serial/line_settings.h).
  uint8_t parityCode = static_cast<uint8_t>(Parity::kNone);
  const char* parityName = "no";
  uint8_t stopBitCode = static_cast<uint8_t>(StopBits::kOne);
  int32_t flowControl = 1;      // 0 lines off, 2 handshake, anything else lines on
  int32_t timeoutSeconds = 20;  // 0 ends at once, negative never expires
  int logLevel = 0;             // 0 quiet, 1 "-d", 2 "-d2"
  bool progress = false;
  bool filterOff = false;
  bool showRejected = false;
  uint8_t beginMarker = 0;  // 0: no begin marker
  uint8_t endMarker = 0;    // 0: no end marker
  // "-nov": the supervisor waits for each transmission to be taken by the
  // driver instead of handing it over and going on.
  bool waitForEachTransmission = false;
  const char* txString = "^";
  int32_t txCount = 0;  // transmissions; the supervisor counts down a copy of its own
  const char* signalList = nullptr;

  // The long options. Left at these defaults, a run is exactly as without them.
  const char* summaryPath = nullptr;   // --summary: the run summary's file
  std::vector<const char*> failTexts;  // --fail-on: texts that fail the run (status 3)
  bool expectEnd = false;              // --expect-end: a run not ended by the device is 5
  int32_t maxTimeSeconds = -1;         // --max-time: negative means no deadline
  TimestampMode timestamps = TimestampMode::kOff;  // --timestamps
  const char* rawPath = nullptr;                   // --raw: the unfiltered copy's file
  int32_t waitSeconds = 0;  // --wait: how long a missing port is waited for; negative: no limit
  bool reconnect = false;   // --reconnect: a lost port is waited for and captured on

  // --end-on, --expect/--send: the texts with their escapes decoded.
  DialogueSettings dialogue;

  // The stop-bit count as shown to the user.
  int stopBitsShown() const { return stopBitCode / 2 + 1; }
};
