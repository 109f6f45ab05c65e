// UTF-8 console text to UTF-16, byte by byte so that a stray byte costs only
// itself.
#include "control/console_text_win32.h"

#include <algorithm>

namespace {

constexpr wchar_t kReplacement = 0xFFFD;

// The length of the sequence that `lead` begins, 0 if it begins none.
size_t sequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// Whether the `count` bytes after `lead` can follow it (no overlong form,
// no surrogate, nothing beyond U+10FFFF).
bool validContinuation(const unsigned char* bytes, size_t count) {
  for (size_t i = 1; i <= count; ++i) {
    if ((bytes[i] & 0xC0) != 0x80) return false;
  }
  if (count == 0) return true;
  const unsigned char lead = bytes[0];
  const unsigned char second = bytes[1];
  if (lead == 0xE0) return second >= 0xA0;
  if (lead == 0xED) return second <= 0x9F;
  if (lead == 0xF0) return second >= 0x90;
  if (lead == 0xF4) return second <= 0x8F;
  return true;
}

void appendCodePoint(std::wstring& out, unsigned long cp) {
  if (cp < 0x10000) {
    out += static_cast<wchar_t>(cp);
    return;
  }
  cp -= 0x10000;
  out += static_cast<wchar_t>(0xD800 + (cp >> 10));
  out += static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
}

unsigned long decode(const unsigned char* bytes, size_t length) {
  static const unsigned char kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  unsigned long cp = bytes[0] & kLeadMask[length];
  for (size_t i = 1; i < length; ++i) cp = (cp << 6) | (bytes[i] & 0x3F);
  return cp;
}

wchar_t fallbackChar(unsigned char byte, UINT codePage) {
  wchar_t wide = kReplacement;
  const char narrow = static_cast<char>(byte);
  if (MultiByteToWideChar(codePage, 0, &narrow, 1, &wide, 1) != 1) return kReplacement;
  return wide;
}

}  // namespace

std::wstring consoleText(const char* text, size_t length, std::string& carry,
                         UINT fallbackCodePage) {
  std::string input;
  input.swap(carry);
  input.append(text, length);
  const auto* bytes = reinterpret_cast<const unsigned char*>(input.data());
  const size_t size = input.size();
  std::wstring out;
  out.reserve(size + size / 8);
  size_t i = 0;
  while (i < size) {
    const size_t sequence = sequenceLength(bytes[i]);
    const size_t available = std::min(sequence, size - i);
    if (sequence != 0 && available < sequence && validContinuation(bytes + i, available - 1)) {
      carry.assign(input, i, std::string::npos);  // completed by the next call
      break;
    }
    if (sequence == 0 || !validContinuation(bytes + i, sequence - 1)) {
      out += fallbackChar(bytes[i++], fallbackCodePage);
      continue;
    }
    if (bytes[i] == '\n') out += L'\r';
    appendCodePoint(out, decode(bytes + i, sequence));
    i += sequence;
  }
  return out;
}
