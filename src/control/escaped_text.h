// The escapes of the dialogue options' values (--end-on, --expect, --send),
// since a line feed, a carriage return or an odd byte is hard to type on
// some consoles: \n \r \t \\ and \xHH (two hex digits, any byte). The
// single-dash -tx keeps its value as typed.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// The bytes `text` stands for, or nothing when a backslash is followed by
// anything else (or by nothing, or \x by fewer than two hex digits).
std::optional<std::string> decodeEscapes(std::string_view text);
