// The usage text. Its wording is relied on by users' scripts and habits:
// change nothing in it, not even the spacing.
#include "control/usage.h"

std::string settingsInForce(const CaptureSettings& s) {
  auto format = [&s](char* buffer, size_t size) {
    return std::snprintf(buffer, size,
                         "default is %s -t %d -f %s -r %d , %s parity(%d), %d stopBit(%d)",
                         s.portName, s.timeoutSeconds, s.outputPath, s.baudRate, s.parityName,
                         s.parityCode, s.stopBitsShown(), s.stopBitCode);
  };
  std::string text(static_cast<size_t>(format(nullptr, 0)), '\0');
  format(text.data(), text.size() + 1);
  return text;
}

void printUsage(std::FILE* out, const char* program, const CaptureSettings& s) {
  std::fprintf(out,
               "usage:%s [COMx] [-d] [-t time-out] [-f outputfile] [-md | -mh] [-r Rate] "
               "[-pe | -po] [-s 2] [-flowctrl 0] [-filteroff]\n",
               program);
  std::fputs(
      "-pe -po for parity even or odd\n"
      "-s nb stopbit \n"
      "-flowctrl 0|2 (NoFlowControl|Handshake)\n"
      "-progress to follow dump progress\n"
      "-filteroff keep non ascii chars ('!' is displayed for each rejected nonascii char)\n"
      "-d for debug mode\n"
      "-d2 for debug higher level\n"
      "-mh use line split marker '^' to filter the result data\n"
      "-md use line split marker '^' to filter the result data and display rejected "
      "charateres\n"
      "-ms <char> use char as begin split marker instead of default '^'\n"
      "-me <char> use char as  end  split marker instead of default '^'\n"
      "-tx <String> string to be sent over RS232 at startup (default ^)\n"
      "-ntx <nb> number of time the <String> is sent. 1 per second (default 1 if -tx used)\n"
      "-nov overlapped I/O is not used\n"
      "-setsignal <sig1>[,<sig2>...] see "
      "https://learn.microsoft.com/en-us/windows/win32/api/winbase/nf-winbase-escapecommfunction"
      " EscapeCommFunction for the list of possible signals\n"
      "COMx is the selected port\n",
      out);
  std::fprintf(out, "%s, DTR&RTS flowctrl Enabled (1)\n", settingsInForce(s).c_str());
  std::fputs(
      "Without options the list of available COM port is displayed\n"
      "outputfile is closed  when 'kwo end' (Morvane V7.0.5) is received from serial line\n"
      "outputfile is closed  when Crtl Z (^Z)=0x1A is received from serial line\n"
      "outputfile is flushed when Crtl Y (^Y)=0x19 is received from serial line\n"
      "outputfile is closed  when time Out\n"
      "it exit when outputfile is closed\n",
      out);
}
