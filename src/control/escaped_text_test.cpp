#include "control/escaped_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(EscapedText, EachEscapeAndPlainText) {
  struct Case {
    const char* in;
    std::string out;
  };
  const Case cases[] = {
      {"login:", "login:"},
      {"run selftest\\n", "run selftest\n"},
      {"\\r\\n\\t", "\r\n\t"},
      {"C:\\\\dir", "C:\\dir"},
      {"\\x00\\xff\\xFF\\x1b[0m", std::string("\0\xff\xff\x1b[0m", 7)},
      {"", ""},
  };
  for (const Case& c : cases) {
    const std::optional<std::string> decoded = decodeEscapes(c.in);
    ASSERT_TRUE(decoded.has_value()) << c.in;
    EXPECT_EQ(*decoded, c.out) << c.in;
  }
}

TEST(EscapedText, MalformedEscapesAreRefused) {
  for (const char* in : {"\\", "end\\", "\\a", "\\0", "\\e", "\\x", "\\x4", "\\x4g", "\\xg4",
                         "ok\\N", "\\\"", "\\ "}) {
    EXPECT_FALSE(decodeEscapes(in).has_value()) << in;
  }
}

}  // namespace
