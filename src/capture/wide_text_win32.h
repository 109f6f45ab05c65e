// Text between the shared code, which speaks UTF-8, and Windows' own calls,
// which take UTF-16: a name the user typed reaches the system whatever its
// characters, not only those of the ANSI code page.
#pragma once

#include <string>

std::wstring widened(const std::string& utf8);
std::string narrowed(const wchar_t* utf16);

// `utf8Path` in the form CreateFileW opens whatever its length: a path whose
// absolute form is MAX_PATH characters or longer is made absolute and given
// the "\\?\" prefix ("\\?\UNC\" for a share), which Windows without long-path
// support needs; a shorter one is left as it is.
std::wstring openablePath(const std::string& utf8Path);
