// Console text for a console window: the program prints UTF-8, which the
// window takes as UTF-16 (WriteConsoleW), so names show as typed whatever
// the console's code page. A pipe or a file gets the UTF-8 bytes instead.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

// Converts `text` (after what `carry` holds from the previous call) to
// UTF-16 with CR LF line ends. A sequence cut short at the end is kept in
// `carry` for the next call; a byte that begins no UTF-8 sequence (a device's
// byte echoed as it came) shows as `fallbackCodePage` shows it.
std::wstring consoleText(const char* text, size_t length, std::string& carry,
                         UINT fallbackCodePage);
