#include "control/usage.h"

#include <gtest/gtest.h>

#include "testing/console_capture.h"

namespace {

std::string usageFor(const CaptureSettings& settings) {
  ConsoleCapture console;
  printUsage(console.stream(), "./sercap", settings);
  return console.text();
}

// The text as users know it, line by line.
const char* const kLinesBeforeDefaults =
    "usage:./sercap [COMx] [-d] [-t time-out] [-f outputfile] [-md | -mh] [-r Rate] [-pe | -po] "
    "[-s 2] [-flowctrl 0] [-filteroff]\n"
    "-pe -po for parity even or odd\n"
    "-s nb stopbit \n"
    "-flowctrl 0|2 (NoFlowControl|Handshake)\n"
    "-progress to follow dump progress\n"
    "-filteroff keep non ascii chars ('!' is displayed for each rejected nonascii char)\n"
    "-d for debug mode\n"
    "-d2 for debug higher level\n"
    "-mh use line split marker '^' to filter the result data\n"
    "-md use line split marker '^' to filter the result data and display rejected charateres\n"
    "-ms <char> use char as begin split marker instead of default '^'\n"
    "-me <char> use char as  end  split marker instead of default '^'\n"
    "-tx <String> string to be sent over RS232 at startup (default ^)\n"
    "-ntx <nb> number of time the <String> is sent. 1 per second (default 1 if -tx used)\n"
    "-nov overlapped I/O is not used\n"
    "-setsignal <sig1>[,<sig2>...] see "
    "https://learn.microsoft.com/en-us/windows/win32/api/winbase/nf-winbase-escapecommfunction "
    "EscapeCommFunction for the list of possible signals\n"
    "COMx is the selected port\n";

const char* const kLinesAfterDefaults =
    "Without options the list of available COM port is displayed\n"
    "outputfile is closed  when 'kwo end' (Morvane V7.0.5) is received from serial line\n"
    "outputfile is closed  when Crtl Z (^Z)=0x1A is received from serial line\n"
    "outputfile is flushed when Crtl Y (^Y)=0x19 is received from serial line\n"
    "outputfile is closed  when time Out\n"
    "it exit when outputfile is closed\n";

TEST(Usage, DefaultsExactly) {
  CaptureSettings defaults;
  EXPECT_EQ(usageFor(defaults),
            std::string(kLinesBeforeDefaults) +
                "default is COM1 -t 20 -f zurout.spt -r 9600 , no parity(0), 1 stopBit(0), "
                "DTR&RTS flowctrl Enabled (1)\n" +
                kLinesAfterDefaults);
}

TEST(Usage, DefaultsLineShowsSettingsAsTheyStand) {
  CaptureSettings s;
  s.portName = "COM3";
  s.baudRate = 300;
  s.parityCode = 2;
  s.parityName = "even";
  s.stopBitCode = 2;
  s.timeoutSeconds = -1;
  s.outputPath = "a b.txt";
  s.flowControl = 0;  // the closing words are fixed text whatever it holds
  std::string text = usageFor(s);
  EXPECT_NE(text.find("\ndefault is COM3 -t -1 -f a b.txt -r 300 , even parity(2), 2 stopBit(2), "
                      "DTR&RTS flowctrl Enabled (1)\n"),
            std::string::npos)
      << text;
}

}  // namespace
