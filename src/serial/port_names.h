// How a port argument ("COM7", "/dev/ttyUSB0") becomes a device on this
// machine, and the text that messages show for it.
#pragma once

#include <string>

// Where ports live on this machine; what that is, each platform says for
// itself (port_environment_linux.h; Windows knows its COM ports itself).
struct PortEnvironment;

// This process's: on Linux the port map from XDG_CONFIG_HOME (or
// HOME/.config) and the real roots.
const PortEnvironment& processPortEnvironment();

// Whether `name` begins with "COM" in any case ("com3" too), as every COM
// port argument does: the system's device names ignore case.
bool hasComPrefix(const char* name);

// Ports on another machine: "rfc2217://HOST:PORT" (telnet with the Com Port
// Control Option) and "tcp://HOST:PORT" (raw bytes), the scheme in any case.
// They name no device of this machine (serial/network/ reaches them).
enum class NetworkScheme { kNone, kRfc2217, kTcp };
// The scheme `argument` begins with; `rest`, if given, receives what follows it.
NetworkScheme networkSchemeOf(const std::string& argument, std::string* rest = nullptr);
bool isNetworkPort(const std::string& argument);

// The device path shown in messages: "\\.\COM12" for a COM name longer than
// four characters, the name itself otherwise (also for a path).
std::string shownDevicePath(const char* portName);

// Resolves a port argument to the device to open. Returns 0, or the
// platform's "no such file" number (2) when the port does not exist here.
int resolvePort(const char* portName, const PortEnvironment& env, std::string* device);
