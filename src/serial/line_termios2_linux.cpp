// Only the kernel's own termios here: <termios.h> would redefine its types.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

#include "serial/line_rate_check.h"
#include "serial/line_termios2_linux.h"

#ifndef __linux__
#error "termios2 is Linux only; another POSIX system needs its own rate setting"
#endif

namespace serial_detail {

int setRawLine(int fd, const RawLineMode& mode) {
  const bool knownParity =
      mode.parity == Parity::kNone || mode.parity == Parity::kOdd || mode.parity == Parity::kEven;
  const bool knownStopBits = mode.stopBits == StopBits::kOne || mode.stopBits == StopBits::kTwo;
  if (mode.rate <= 0 || !knownParity || !knownStopBits) return EINVAL;
  struct termios2 t;
  if (ioctl(fd, TCGETS2, &t) != 0) return errno;

  // Bytes pass untouched both ways: no parity check on input, no CR/LF
  // translation, no software flow control, no echo or line editing.
  t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON | IXOFF |
                 IXANY | INPCK | IMAXBEL);
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);

  t.c_cflag &= ~(CBAUD | CIBAUD | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t.c_cflag |= BOTHER | CS8 | CLOCAL | CREAD;  // input rate follows the output rate (CIBAUD 0)
  if (mode.parity != Parity::kNone) t.c_cflag |= PARENB;
  if (mode.parity == Parity::kOdd) t.c_cflag |= PARODD;
  if (mode.stopBits == StopBits::kTwo) t.c_cflag |= CSTOPB;
  if (mode.hardwareHandshake) t.c_cflag |= CRTSCTS;
  t.c_ispeed = static_cast<speed_t>(mode.rate);
  t.c_ospeed = static_cast<speed_t>(mode.rate);

  // The fd is non-blocking; reads take what is there and never wait.
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;

  if (ioctl(fd, TCSETS2, &t) != 0) return errno;
  return 0;
}

int getLineRates(int fd, uint32_t* inputRate, uint32_t* outputRate) {
  struct termios2 t;
  if (ioctl(fd, TCGETS2, &t) != 0) return errno;
  *inputRate = t.c_ispeed;
  *outputRate = t.c_ospeed;
  return 0;
}

int confirmLineRate(int fd, int32_t requested) {
  uint32_t inputRate = 0;
  uint32_t outputRate = 0;
  int err = getLineRates(fd, &inputRate, &outputRate);
  if (err != 0) return err;
  return rateTaken(requested, inputRate, outputRate) ? 0 : EINVAL;
}

static_assert(sizeof(struct termios2) <= sizeof(SavedLine::bytes));

int saveLine(int fd, SavedLine* saved) {
  struct termios2 t;
  if (ioctl(fd, TCGETS2, &t) != 0) return errno;
  std::memcpy(saved->bytes, &t, sizeof t);
  return 0;
}

int restoreLine(int fd, const SavedLine& saved) {
  struct termios2 t;
  std::memcpy(&t, saved.bytes, sizeof t);
  return ioctl(fd, TCSETS2, &t) == 0 ? 0 : errno;
}

}  // namespace serial_detail
