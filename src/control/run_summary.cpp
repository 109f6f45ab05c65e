// The run summary's JSON. Written by hand: a handful of keys, and the one
// subtle part, strings, is done with care for every byte.
#include "control/run_summary.h"

#include <cstring>
#include <string>

#include "capture/time_text.h"
#include "control/replace_file.h"

namespace {

// The length of the UTF-8 sequence at the start of `s`, or 0 when it is
// not one (a stray byte, an overlong form, a surrogate, beyond U+10FFFF).
size_t utf8SequenceLength(std::string_view s) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (s.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

void appendEscaped(std::string& out, unsigned char c) {
  switch (c) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
  }
  if (c < 0x20 || c == 0x7F) {
    static const char kHex[] = "0123456789abcdef";
    out += "\\u00";
    out += kHex[c >> 4];
    out += kHex[c & 0xF];
    return;
  }
  out += static_cast<char>(c);
}

std::string timeOrNull(const std::optional<RunSummary::Time>& time) {
  return time ? jsonString(utcMillisText(*time)) : "null";
}

std::string lineErrorsJson(const std::optional<LineErrors>& e) {
  if (!e) return "null";
  return "{\"overrun\": " + std::to_string(e->overrun) +
         ", \"buffer_overrun\": " + std::to_string(e->bufferOverrun) +
         ", \"framing\": " + std::to_string(e->framing) +
         ", \"parity\": " + std::to_string(e->parity) +
         ", \"break\": " + std::to_string(e->breaks) + "}";
}

std::string failMatchesJson(const std::vector<FailMatch>& matches) {
  if (matches.empty()) return "[]";
  std::string out = "[";
  for (size_t i = 0; i < matches.size(); ++i) {
    out += i == 0 ? "\n" : ",\n";
    out += "    {\"line\": " + std::to_string(matches[i].line) +
           ", \"text\": " + jsonString(matches[i].text) + "}";
  }
  return out + "\n  ]";
}

}  // namespace

const char* runEndName(RunEnd end) {
  switch (end) {
    case RunEnd::kCtrlZ:
      return "ctrl-z";
    case RunEnd::kEndPhrase:
      return "end-phrase";
    case RunEnd::kEndText:
      return "end-text";
    case RunEnd::kTimeOut:
      return "time-out";
    case RunEnd::kDeadline:
      return "deadline";
    case RunEnd::kInterrupted:
      return "interrupted";
    case RunEnd::kLineFailure:
      return "line-failure";
    case RunEnd::kOpenFailure:
      return "open-failure";
    case RunEnd::kFileFailure:
      return "file-failure";
  }
  return "";
}

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  while (!text.empty()) {
    const size_t length = utf8SequenceLength(text);
    if (length == 1) {
      appendEscaped(out, static_cast<unsigned char>(text[0]));
    } else if (length > 1) {
      out.append(text.substr(0, length));
    } else {
      out += "\xEF\xBF\xBD";  // U+FFFD for a byte that is not UTF-8
    }
    text.remove_prefix(length == 0 ? 1 : length);
  }
  return out + "\"";
}

std::string summaryJson(const RunSummary& s) {
  std::string out = "{\n";
  auto key = [&](const char* name, const std::string& value, bool last = false) {
    out += std::string("  \"") + name + "\": " + value + (last ? "\n" : ",\n");
  };
  key("version", jsonString(s.version));
  key("port", jsonString(s.port));
  key("capture_file", jsonString(s.captureFile));
  key("started", jsonString(utcMillisText(s.started)));
  key("ended", jsonString(utcMillisText(s.ended)));
  key("end", jsonString(runEndName(s.run.end)));
  if (s.endTextsGiven) key("end_text", s.endText ? jsonString(*s.endText) : "null");
  if (s.expect) {
    key("expect", "{\"steps\": " + std::to_string(s.expect->steps) +
                      ", \"matched\": " + std::to_string(s.expect->matched) + "}");
  }
  key("exit_status", std::to_string(s.exitStatus));
  key("bytes_read", std::to_string(s.run.bytesRead));
  key("file_bytes", std::to_string(s.run.fileBytes));
  key("lines", std::to_string(s.run.lines));
  key("first_byte", timeOrNull(s.run.firstByte));
  key("last_byte", timeOrNull(s.run.lastByte));
  key("fail_matches", failMatchesJson(s.failMatches));
  key("line_errors", lineErrorsJson(s.lineErrors));
  key("signal", s.run.signal != nullptr ? jsonString(s.run.signal) : "null");
  key("reconnects", std::to_string(s.run.reconnects), true);
  return out + "}\n";
}

int writeSummary(const char* path, const RunSummary& summary, std::FILE* console) {
  const std::string json = summaryJson(summary);
  if (std::strcmp(path, "-") == 0 || isStandardOutput(path)) {
    std::fputs(json.c_str(), console);
    return 0;
  }
  const int error = replaceFile(path, json);
  if (error != 0) std::fprintf(console, "\n>>>unable to write summary %s : %d\n", path, error);
  return error;
}
