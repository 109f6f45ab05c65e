// Whether a file of the run (the capture file, the raw copy, the summary) is
// the port's own device: a capture written to the line it is read from would
// send the device its own text back. Such a port is in use, by sercap itself.
#pragma once

#include <string>

// 0, or the platform's "in use" error number when `captureFile` leads to the
// same device as `device`, under whatever names (links, a COM name of the
// port map). Neither is opened.
int checkNotCaptureFile(const std::string& device, const std::string& captureFile);
