// The answers to a board's prompts (--send). The capture worker finds the
// prompts (--expect) in what it reads; the supervisor, which owns the
// transmissions, sends each answer as soon as the worker wakes it. An answer
// goes out as a -tx transmission does: handed over without waiting (also
// with -nov), never cut, skipped while a megabyte of earlier output waits.
#pragma once

#include <cstddef>
#include <cstdio>
#include <vector>

#include "capture/dialogue.h"
#include "capture/worker_state.h"
#include "serial/serial_line.h"

class PromptAnswers {
 public:
  PromptAnswers(const std::vector<DialogueSettings::Step>& steps, const WorkerState& state,
                int logLevel, std::FILE* console);

  // Sends the answers of the steps matched since the last call, in order.
  // The supervisor's, while the port is open.
  void sendDue(SerialLine& port);

 private:
  const std::vector<DialogueSettings::Step>& steps_;
  const WorkerState& state_;
  const int logLevel_;
  std::FILE* console_;
  size_t answered_ = 0;
};
