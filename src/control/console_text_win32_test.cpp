// Console text for a console window: UTF-8 in any script, cut anywhere,
// shows whole; bytes that are no UTF-8 show as the console's code page
// shows them.
#include "control/console_text_win32.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr UINT kWesternCodePage = 1252;

std::wstring converted(const std::string& text) {
  std::string carry;
  std::wstring out = consoleText(text.data(), text.size(), carry, kWesternCodePage);
  EXPECT_EQ(carry, "") << "nothing left over at the end";
  return out;
}

TEST(ConsoleTextWin32, ConvertsUtf8AndShowsOtherBytesThroughTheCodePage) {
  const struct {
    const char* text;
    const wchar_t* shown;
  } cases[] = {
      {"plain\n", L"plain\r\n"},
      {"\xC5\x81\xC3\xB3"
       "d\xC5\xBA.txt",
       L"\x0141\x00F3"
       L"d\x017A.txt"},                               // Lodz with its marks
      {"\xE6\x97\xA5\xE6\x9C\xAC", L"\x65E5\x672C"},  // two CJK ideographs
      {"\xF0\x9F\x98\x80", L"\xD83D\xDE00"},          // beyond 16 bits
      {"<\xE9\x80>", L"<\x00E9\x20AC>"},              // device bytes: 1252 shows e-acute, euro
      {"\xC0\xAF", L"\x00C0\x00AF"},                  // an overlong slash is no UTF-8
      {"\xED\xA0\x80", L"\x00ED\x00A0\x20AC"},        // nor is a surrogate
      {"\xE2\x82z", L"\x00E2\x201Az"},                // a sequence broken off
  };
  for (const auto& c : cases) EXPECT_EQ(converted(c.text), c.shown) << c.text;
}

TEST(ConsoleTextWin32, ASequenceCutBetweenWritesShowsWhole) {
  const std::string text = "\xE6\x97\xA5\n\xF0\x9F\x98\x80";
  for (size_t cut = 0; cut <= text.size(); ++cut) {
    std::string carry;
    std::wstring out = consoleText(text.data(), cut, carry, kWesternCodePage);
    out += consoleText(text.data() + cut, text.size() - cut, carry, kWesternCodePage);
    EXPECT_EQ(out, L"\x65E5\r\n\xD83D\xDE00") << "cut at " << cut;
    EXPECT_EQ(carry, "");
  }
}

}  // namespace
