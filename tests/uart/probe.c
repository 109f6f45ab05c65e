// Guest-side probe for the UART stage: reads what the serial driver holds for a
// port (termios2 line settings, modem lines, counters, the driver's own status
// line), independently of sercap, and runs sercap against that port while
// holding it open. Holding it matters: every open of a Linux serial port
// raises DTR and RTS and the last close drops them, so only an fd opened
// before sercap and kept after it shows the lines as sercap left them.
//
//   probe run [options] -- COMMAND ARGS...
//     -d DEV      the port (default /dev/ttyS1)
//     -b RATE     line settings before the command: RATE, canonical, no parity
//     -l LINES    modem lines before the command: "dtr,rts", "dtr", "rts" or "none"
//     -c BASE     the UART's baud_base while the command runs (TIOCSSERIAL)
//     -w tx       wait until the command has transmitted (the driver's tx counter
//                 moves): everything it set up before capturing is then in place
//     -k          on that, end the command with SIGTERM
//     -H          on that, hang the line up (TIOCVHANGUP) instead
//     -T SECONDS  give up (SIGKILL) after this long (default 20)
//     -o FILE     the command's output goes to FILE
//   probe hex FILE    prints FILE as hex, 32 bytes a line: "hex: 0a41..."
//
// `run` prints "probe before:", "probe ready:" and "probe after:" state lines
// and exits with the command's status (128 + signal when it was killed). It
// also writes marks into the UART's scratch register (0xa1 before the command,
// 0xa2 when ready, 0xa3 after it) so that the host's trace of register writes
// can be cut at the same points.
#include <asm/termbits.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { kMarkBefore = 0xa1, kMarkReady = 0xa2, kMarkAfter = 0xa3 };

// The UART's I/O ports, where it has them: probe_port_io_x86.c, or
// probe_port_io_none.c for a UART reached only through memory (no marks).
int portAccess(unsigned long port);  // 1 when the 8 registers at port can be written
void portWrite(int port, unsigned char value);

static int scratchPort = -1;  // I/O address of the scratch register, or -1

static void fail(const char* what) {
  printf("probe error: %s: %s\n", what, strerror(errno));
  fflush(stdout);
  exit(125);
}

static void mark(int value) {
  if (scratchPort >= 0) portWrite(scratchPort, (unsigned char)value);
}

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

// The driver's own status line for the port ("1: uart:16550A port:... RTS|DTR").
static void printDriverLine(const char* tag, int line) {
  FILE* f = fopen("/proc/tty/driver/serial", "r");
  if (f == NULL) return;
  char text[512];
  char prefix[16];
  snprintf(prefix, sizeof prefix, "%d:", line);
  while (fgets(text, sizeof text, f) != NULL) {
    if (strncmp(text, prefix, strlen(prefix)) == 0) printf("probe %s-driver: %s", tag, text);
  }
  fclose(f);
}

static void printState(const char* tag, int fd) {
  struct termios2 t;
  int lines = 0;
  struct serial_icounter_struct c;
  struct serial_struct s;
  if (ioctl(fd, TCGETS2, &t) != 0) fail("TCGETS2");
  if (ioctl(fd, TIOCMGET, &lines) != 0) fail("TIOCMGET");
  if (ioctl(fd, TIOCGICOUNT, &c) != 0) fail("TIOCGICOUNT");
  if (ioctl(fd, TIOCGSERIAL, &s) != 0) fail("TIOCGSERIAL");
  int size = (t.c_cflag & CSIZE) == CS8 ? 8 : (t.c_cflag & CSIZE) == CS7 ? 7 : 0;
  printf(
      "probe %s: ispeed=%u ospeed=%u bother=%d cs=%d parenb=%d parodd=%d cstopb=%d crtscts=%d "
      "clocal=%d icanon=%d dtr=%d rts=%d cts=%d dsr=%d cd=%d rx=%d tx=%d brk=%d overrun=%d "
      "bufoverrun=%d frame=%d parity=%d baudbase=%d\n",
      tag, t.c_ispeed, t.c_ospeed, (t.c_cflag & CBAUD) == BOTHER, size, !!(t.c_cflag & PARENB),
      !!(t.c_cflag & PARODD), !!(t.c_cflag & CSTOPB), !!(t.c_cflag & CRTSCTS),
      !!(t.c_cflag & CLOCAL), !!(t.c_lflag & ICANON), !!(lines & TIOCM_DTR), !!(lines & TIOCM_RTS),
      !!(lines & TIOCM_CTS), !!(lines & TIOCM_DSR), !!(lines & TIOCM_CD), c.rx, c.tx, c.brk,
      c.overrun, c.buf_overrun, c.frame, c.parity, s.baud_base);
  printDriverLine(tag, s.line);
  fflush(stdout);
}

static void setBaseline(int fd, int rate) {
  struct termios2 t;
  if (ioctl(fd, TCGETS2, &t) != 0) fail("TCGETS2");
  t.c_iflag = 0;
  t.c_oflag = 0;
  t.c_lflag = ICANON;
  t.c_cflag = BOTHER | CS8 | CREAD | CLOCAL | HUPCL;
  t.c_ispeed = (speed_t)rate;
  t.c_ospeed = (speed_t)rate;
  if (ioctl(fd, TCSETS2, &t) != 0) fail("TCSETS2");
}

static void setBaudBase(int fd, int base) {
  struct serial_struct s;
  if (ioctl(fd, TIOCGSERIAL, &s) != 0) fail("TIOCGSERIAL");
  s.baud_base = base;
  if (ioctl(fd, TIOCSSERIAL, &s) != 0) fail("TIOCSSERIAL");
}

static int parseLines(const char* text) {
  int lines = 0;
  if (strstr(text, "dtr") != NULL) lines |= TIOCM_DTR;
  if (strstr(text, "rts") != NULL) lines |= TIOCM_RTS;
  return lines;
}

static int txCount(int fd) {
  struct serial_icounter_struct c;
  if (ioctl(fd, TIOCGICOUNT, &c) != 0) fail("TIOCGICOUNT");
  return c.tx;
}

static int run(int argc, char** argv) {
  const char* device = "/dev/ttyS1";
  const char* output = NULL;
  const char* baselineLines = NULL;
  int baselineRate = 0, baudBase = 0, waitTx = 0, endOnReady = 0, hangUp = 0;
  double limit = 20;
  int opt;
  while ((opt = getopt(argc, argv, "d:b:l:c:w:kHT:o:")) != -1) {
    switch (opt) {
      case 'd':
        device = optarg;
        break;
      case 'b':
        baselineRate = atoi(optarg);
        break;
      case 'l':
        baselineLines = optarg;
        break;
      case 'c':
        baudBase = atoi(optarg);
        break;
      case 'w':
        waitTx = strcmp(optarg, "tx") == 0;
        break;
      case 'k':
        endOnReady = 1;
        break;
      case 'H':
        hangUp = 1;
        break;
      case 'T':
        limit = atof(optarg);
        break;
      case 'o':
        output = optarg;
        break;
      default:
        return 125;
    }
  }
  if (optind >= argc) {
    printf("probe error: no command\n");
    return 125;
  }

  int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) fail(device);
  struct serial_struct s;
  if (ioctl(fd, TIOCGSERIAL, &s) != 0) fail("TIOCGSERIAL");
  const int oldBaudBase = s.baud_base;
  if (s.port != 0 && portAccess(s.port)) {
    scratchPort = (int)s.port + 7;
  } else {
    printf("probe warning: no access to the UART's registers, no trace marks\n");
  }
  if (baudBase > 0) setBaudBase(fd, baudBase);
  if (baselineRate > 0) setBaseline(fd, baselineRate);
  if (baselineLines != NULL) {
    int lines = parseLines(baselineLines);
    if (ioctl(fd, TIOCMSET, &lines) != 0) fail("TIOCMSET");
  }
  const int tx0 = txCount(fd);
  printState("before", fd);
  mark(kMarkBefore);

  pid_t child = fork();
  if (child < 0) fail("fork");
  if (child == 0) {
    if (output != NULL) {
      int out = open(output, O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out < 0) _exit(126);
      dup2(out, 1);
      dup2(out, 2);
      close(out);
    }
    execv(argv[optind], argv + optind);
    _exit(127);
  }

  const double deadline = now() + limit;
  int ready = 0, alive = 1, status = 0;
  const struct timespec tick = {0, 20 * 1000 * 1000};
  for (;;) {
    pid_t r = waitpid(child, &status, WNOHANG);
    if (r == child) break;
    if (waitTx && !ready && txCount(fd) != tx0) {
      ready = 1;
      mark(kMarkReady);
      printState("ready", fd);
      if (hangUp) {
        if (ioctl(fd, TIOCVHANGUP) != 0) fail("TIOCVHANGUP");
        alive = 0;
        printf("probe hung up the line\n");
        fflush(stdout);
      } else if (endOnReady) {
        kill(child, SIGTERM);
      }
    }
    if (now() > deadline) {
      printf("probe timeout: the command ran %.0f s%s\n", limit,
             waitTx && !ready ? " and never transmitted" : "");
      fflush(stdout);
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      break;
    }
    nanosleep(&tick, NULL);
  }
  if (alive) {
    mark(kMarkAfter);
    printState("after", fd);
    if (baudBase > 0) setBaudBase(fd, oldBaudBase);
  } else if (baudBase > 0) {
    // The hung-up fd is dead; a fresh one puts the clock back.
    int again = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (again >= 0) {
      setBaudBase(again, oldBaudBase);
      close(again);
    }
  }
  close(fd);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

static int hex(const char* path) {
  FILE* f = fopen(path, "rb");
  if (f == NULL) fail(path);
  unsigned char buffer[32];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) {
    printf("hex: ");
    for (size_t i = 0; i < n; ++i) printf("%02x", buffer[i]);
    printf("\n");
  }
  fclose(f);
  return 0;
}

int main(int argc, char** argv) {
  setvbuf(stdout, NULL, _IOLBF, 0);
  if (argc >= 2 && strcmp(argv[1], "run") == 0) return run(argc - 1, argv + 1);
  if (argc == 3 && strcmp(argv[1], "hex") == 0) return hex(argv[2]);
  printf(
      "usage: probe run [-d DEV] [-b RATE] [-l LINES] [-c BASE] [-w tx] [-k|-H] [-T S] "
      "[-o FILE] -- COMMAND...\n       probe hex FILE\n");
  return 125;
}
