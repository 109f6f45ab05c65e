// The open errors of a port that is away or just appearing, on Windows.
// winsock2.h brings windows.h, and the socket errors a network port answers.
#include <winsock2.h>

#include "serial/port_absence.h"

namespace {

// ERROR_NO_SUCH_DEVICE, which the toolchain's headers may lack.
constexpr int kNoSuchDevice = 433;

}  // namespace

bool isPortAway(int error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_NOT_READY:
    case ERROR_GEN_FAILURE:
    case ERROR_DEV_NOT_EXIST:
    case kNoSuchDevice:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    // A network port's server restarting, or its machine rebooting.
    case WSAECONNREFUSED:
    case WSAECONNRESET:
    case WSAETIMEDOUT:
    case WSAEHOSTUNREACH:
    case WSAENETUNREACH:
      return true;
    default:
      return false;
  }
}

bool isDeviceGone(int error) {
  switch (error) {
    // A handle whose device is being removed answers "access denied"
    // (delete pending); drivers also give these.
    case ERROR_FILE_NOT_FOUND:
    case ERROR_ACCESS_DENIED:
    case ERROR_NOT_READY:
    case ERROR_GEN_FAILURE:
    case ERROR_DEV_NOT_EXIST:
    case kNoSuchDevice:
    case ERROR_OPERATION_ABORTED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
      return true;
    default:
      return false;
  }
}

bool isBriefRefusal(int error) {
  // Answered for a short while after an adapter reappears.
  return error == ERROR_ACCESS_DENIED;
}
