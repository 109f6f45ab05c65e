// Whether a serial port is present, for the port listing: an open that
// changes nothing on the line and is closed at once. A port that another
// program holds, or that may not be opened, still counts as present.
#pragma once

#include <string>

bool portPresent(const std::string& device);
