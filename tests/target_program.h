// Which sercap the whole-program tests run, and what differs with it. By
// default the Linux build (SERCAP_BINARY); when the environment variable
// SERCAP_TEST_PROGRAM names a Windows build (a path ending in ".exe"), that
// one, run under Wine (see ProgramRun), with COM ports linked to the test's
// pseudo-terminals through the Wine prefix's dosdevices folder.
#pragma once

#include <map>
#include <string>

const std::string& sercapProgram();
bool underWine();

// Exit statuses that differ between the platforms: the usage text (4 on
// Linux, 256 on Windows), the capture file failure (255, -1) and an
// interruption by Ctrl-C (130, 0xC000013A).
int usageStatus();
int fileErrorStatus();
int interruptedStatus();

// Error numbers that differ: "no space left" on a write (ENOSPC 28,
// ERROR_DISK_FULL 112), and a line whose device hung up (EIO 5; Wine
// reports ERROR_BROKEN_PIPE 109).
int diskFullError();
int hangUpError();

// Makes COM`number` lead to `device` in the Wine prefix; false if that
// cannot be done. removeWinePort() undoes it.
bool linkWinePort(int number, const std::string& device);
void removeWinePort(int number);

// A COM number from 30 to 99 that no other test of the Wine prefix holds,
// for a test that makes its port appear and vanish by its own links (tests
// run in parallel and share the prefix); 0 when none is free.
// releaseWinePortNumber() gives it back.
int claimWinePortNumber();
void releaseWinePortNumber(int number);

// Defines COM ports as Wine itself defines them, in its port list in the
// registry, and restarts the prefix's server so that Wine takes them up: then
// they stand in the system's serial device map, as real ports do (a bare
// link made by linkWinePort() does not). The restart ends every Wine process
// of the prefix, so only tests that run alone may call it. False if it cannot
// be done. undefineWinePorts() removes them again, restarting the server too.
bool defineWinePorts(const std::map<int, std::string>& devices);
void undefineWinePorts(const std::map<int, std::string>& devices);

// Skips the current test under Wine, saying why.
#define SKIP_UNDER_WINE(reason) \
  if (underWine()) GTEST_SKIP() << "not shown under Wine: " << reason
