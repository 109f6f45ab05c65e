#include "report_text.h"

#include <cstdio>

namespace {

// A pause longer than a day is surely a typo.
constexpr long long kMaxPauseMs = 24LL * 60 * 60 * 1000;

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string describeByte(unsigned char c) {
  if (c >= 0x20 && c < 0x7f) return std::string(1, static_cast<char>(c));
  char buf[8];
  std::snprintf(buf, sizeof buf, "<%02x>", c);
  return buf;
}

// "line L, column C: " for the byte at offset pos.
std::string where(std::string_view text, size_t pos) {
  size_t line = 1;
  size_t lineStart = 0;
  for (size_t i = 0; i < pos; ++i) {
    if (text[i] == '\n') {
      ++line;
      lineStart = i + 1;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(pos - lineStart + 1) + ": ";
}

}  // namespace

std::optional<Report> parseReportText(std::string_view text, std::string* error) {
  Report report;
  std::string pending;
  auto fail = [&](size_t pos, const std::string& message) -> std::optional<Report> {
    *error = where(text, pos) + message;
    return std::nullopt;
  };

  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c != '\\') {
      pending += c;
      ++i;
      continue;
    }
    const size_t start = i;
    if (i + 1 >= text.size()) return fail(start, "backslash at the end of the text");
    const char kind = text[i + 1];
    i += 2;
    switch (kind) {
      case 'n':
        pending += '\n';
        break;
      case 'r':
        pending += '\r';
        break;
      case 't':
        pending += '\t';
        break;
      case '\\':
        pending += '\\';
        break;
      case 'x': {
        const int hi = i < text.size() ? hexValue(text[i]) : -1;
        const int lo = i + 1 < text.size() ? hexValue(text[i + 1]) : -1;
        if (hi < 0 || lo < 0) return fail(start, "\\x needs two hex digits, as in \\x1a");
        pending += static_cast<char>(hi * 16 + lo);
        i += 2;
        break;
      }
      case 'p': {
        long long ms = 0;
        size_t digits = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
          ms = ms * 10 + (text[i] - '0');
          if (ms > kMaxPauseMs) return fail(start, "pause longer than a day");
          ++digits;
          ++i;
        }
        if (digits == 0 || i >= text.size() || text[i] != ';') {
          return fail(start, "\\p needs milliseconds and a ';', as in \\p1500;");
        }
        ++i;
        report.push_back({std::move(pending), std::chrono::milliseconds(ms)});
        pending.clear();
        break;
      }
      default:
        return fail(start, "unknown escape \\" + describeByte(static_cast<unsigned char>(kind)) +
                               " (known: \\n \\r \\t \\\\ \\xHH \\p<ms>;)");
    }
  }
  if (!pending.empty()) report.push_back({std::move(pending), {}});
  return report;
}

Report literalReport(std::string bytes) {
  Report report;
  if (!bytes.empty()) report.push_back({std::move(bytes), {}});
  return report;
}

Report sampleReport() {
  // Boot lines sit outside the markers so a capture with -mh keeps only the
  // results. The results carry their line feeds inside the segment; the CR LF
  // after the closing marker is for a terminal and is dropped by the capture.
  // The end phrase gets a segment of its own, after a line feed, so no partial
  // match can stand before it.
  return literalReport(
      "sercap-sim 1.0 booting\r\n"
      "self test running\r\n"
      "^RESULT temperature 21.5 C: ok\n"
      "RESULT supply 3.30 V: ok\n"
      "RESULT memory test: ok\n"
      "^\r\n"
      "\x19\n"
      "^kwo end^\n");
}

size_t reportSize(const Report& report) {
  size_t total = 0;
  for (const ReportStep& step : report) total += step.bytes.size();
  return total;
}
