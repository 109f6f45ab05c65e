// Replacing a file whole: the new content goes to a temporary file in the
// same folder, handed to the disk, then renamed over the old one, so a
// reader sees the old file or the new one, never a part.
//
// Only a regular file is replaced. A path that leads to anything else (a
// device such as /dev/null, a FIFO, a terminal) is written in place, never
// renamed over; a symbolic link stays a link, and the file it leads to is
// the one replaced.
#pragma once

#include <string_view>

// Returns 0 or the platform's error number; no temporary file stays behind.
// A file written in place that takes nothing for about a second is given up.
int replaceFile(const char* path, std::string_view content);

// Whether `path` names the process's standard output under another name
// (/dev/stdout, the file or terminal it was redirected to).
bool isStandardOutput(const char* path);
