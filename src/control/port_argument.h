// The port name a port argument gives on this system.
#pragma once

// The name as typed but for what the system's own device names allow after
// it: on Windows one trailing colon ("COM3:" is COM3). Trims `argument` in
// place and returns it.
char* portNameOf(char* argument);
