// sercap: records what a device prints on a serial line into a file. The
// platform's entry point (main_posix.cpp, main_win32.cpp) hands the
// arguments over as UTF-8.
#include "main.h"

#include <chrono>

#include "control/console_writer.h"
#include "control/interruption.h"
#include "control/process_setup.h"
#include "control/supervisor.h"

int sercapMain(int argc, char** argv) {
  prepareProcess();
  // Before any thread starts, so that every thread holds the signals.
  Interruption interruption;
  ConsoleWriter console(standardOutputSink());
  int status = runProgram(argc, argv, console.stream(), interruption);
  // A console that takes nothing gets one more second, no more.
  console.finish(std::chrono::seconds(1));
  return status;
}
