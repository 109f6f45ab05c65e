// Replacing a file whole: the new content goes to a temporary file in the
// same folder, handed to the disk, then renamed over the old one, so a
// reader sees the old file or the new one, never a part.
#pragma once

#include <string_view>

// Returns 0 or the platform's error number; no temporary file stays behind.
int replaceFile(const char* path, std::string_view content);
