// Guest-side probe for the USB stage: runs a command (sercap, or cat for the
// benchmark) while playing the device at the far end of the CDC-ACM line, on
// the gadget's /dev/ttyGS0, and reports how the run went.
//
//   probe run [options] -- COMMAND ARGS...
//     -T SECONDS  give up (SIGKILL) after this long (default 20)
//     -o FILE     the command's output goes to FILE
//     -g DEV      play the device on DEV (raw): read what the command sends
//     -r FILE     what the device received is written to FILE
//     -p FILE     what the device sends, once the command has sent it -n bytes
//     -n BYTES    the cue: this many bytes received (default 1)
//     -a SECONDS  send -p this long after the start instead, without a cue
//     -u BYTES    unplug the gadget once BYTES of -p are written and taken
//     -S SECONDS  before that unplug, let the line settle this long
//     -U          replug it once the command has ended
//     -q FILE     end the command (SIGTERM) once -p is written and FILE has
//                 not grown for 2 s
//     -w PATH     report when PATH vanished, against the command's end
//                 (negative: the command ended first)
//   probe hex FILE    prints FILE as hex, 32 bytes a line: "hex: 0a41..."
//
// `run` prints "probe ..." lines (bytes sent, the unplug, the command's CPU
// time) and exits with the command's status (128 + signal when killed).
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static const char* kUnbind = "/sys/bus/platform/drivers/dummy_udc/unbind";
static const char* kBind = "/sys/bus/platform/drivers/dummy_udc/bind";
static const char* kUdc = "dummy_udc.0";

typedef struct {
  const char* device;
  const char* received;
  const char* payload;
  const char* quietFile;
  const char* watch;
  const char* output;
  double limit;
  double sendAfter;  // < 0: on the cue
  long unplugAt;     // < 0: never
  double settle;     // seconds between the last byte written and the unplug
  long cueBytes;
  int replug;
} Options;

static void fail(const char* what) {
  printf("probe error: %s: %s\n", what, strerror(errno));
  fflush(stdout);
  exit(125);
}

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static char* readAll(const char* path, long* size) {
  FILE* f = fopen(path, "rb");
  if (f == NULL) fail(path);
  if (fseek(f, 0, SEEK_END) != 0) fail(path);
  *size = ftell(f);
  rewind(f);
  char* data = malloc(*size > 0 ? (size_t)*size : 1);
  if (data == NULL || fread(data, 1, (size_t)*size, f) != (size_t)*size) fail(path);
  fclose(f);
  return data;
}

static long fileSize(const char* path) {
  struct stat s;
  return stat(path, &s) == 0 ? (long)s.st_size : -1;
}

static void writeSysfs(const char* path, const char* text) {
  int fd = open(path, O_WRONLY);
  if (fd < 0 || write(fd, text, strlen(text)) < 0) fail(path);
  close(fd);
}

static int openDevice(const char* path) {
  int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) fail(path);
  struct termios t;
  if (tcgetattr(fd, &t) != 0) fail("tcgetattr");
  cfmakeraw(&t);  // no echo of what the command sends, no CR added to line feeds
  if (tcsetattr(fd, TCSANOW, &t) != 0) fail("tcsetattr");
  tcflush(fd, TCIOFLUSH);
  return fd;
}

static pid_t start(char** argv, const char* output) {
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
    execv(argv[0], argv);
    _exit(127);
  }
  return child;
}

static int parse(int argc, char** argv, Options* o) {
  memset(o, 0, sizeof *o);
  o->limit = 20;
  o->sendAfter = -1;
  o->unplugAt = -1;
  o->cueBytes = 1;
  int opt;
  while ((opt = getopt(argc, argv, "T:o:g:r:p:n:a:u:S:Uq:w:")) != -1) {
    switch (opt) {
      case 'T':
        o->limit = atof(optarg);
        break;
      case 'o':
        o->output = optarg;
        break;
      case 'g':
        o->device = optarg;
        break;
      case 'r':
        o->received = optarg;
        break;
      case 'p':
        o->payload = optarg;
        break;
      case 'n':
        o->cueBytes = atol(optarg);
        break;
      case 'a':
        o->sendAfter = atof(optarg);
        break;
      case 'u':
        o->unplugAt = atol(optarg);
        break;
      case 'S':
        o->settle = atof(optarg);
        break;
      case 'U':
        o->replug = 1;
        break;
      case 'q':
        o->quietFile = optarg;
        break;
      case 'w':
        o->watch = optarg;
        break;
      default:
        return -1;
    }
  }
  return optind < argc ? optind : -1;
}

static int run(int argc, char** argv) {
  Options o;
  int first = parse(argc, argv, &o);
  if (first < 0) {
    printf("probe error: bad options or no command\n");
    return 125;
  }
  long payloadSize = 0, sent = 0, got = 0;
  char* payload = o.payload != NULL ? readAll(o.payload, &payloadSize) : NULL;
  int fd = o.device != NULL ? openDevice(o.device) : -1;
  FILE* received = o.received != NULL ? fopen(o.received, "wb") : NULL;
  if (o.received != NULL && received == NULL) fail(o.received);

  const double begin = now();
  pid_t child = start(argv + first, o.output);
  int cue = 0, unplugged = 0, ended = 0, status = 0;
  double unplugTime = 0, vanished = 0, lastGrowth = 0, endTime = 0, firstSend = 0, lastSend = 0;
  long lastSize = -1;
  struct rusage usage;
  memset(&usage, 0, sizeof usage);
  for (;;) {
    pid_t r = wait4(child, &status, WNOHANG, &usage);
    if (r == child) {
      endTime = now();
      break;
    }
    const double t = now();
    if (t - begin > o.limit) {
      printf("probe timeout: the command ran %.0f s\n", o.limit);
      kill(child, SIGKILL);
      wait4(child, &status, 0, &usage);
      endTime = now();
      break;
    }
    if (o.watch != NULL && vanished == 0 && access(o.watch, F_OK) != 0) vanished = t;
    int sending = payload != NULL && sent < payloadSize && !unplugged &&
                  (o.sendAfter >= 0 ? t - begin >= o.sendAfter : cue);
    struct pollfd p = {fd, (short)(POLLIN | (sending ? POLLOUT : 0)), 0};
    if (fd >= 0 && !unplugged) {
      if (poll(&p, 1, 10) < 0 && errno != EINTR) fail("poll");
    } else {
      poll(NULL, 0, 10);
    }
    if (fd >= 0 && !unplugged && (p.revents & POLLIN)) {
      char buffer[4096];
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n > 0) {
        got += n;
        cue = got >= o.cueBytes;
        if (received != NULL) fwrite(buffer, 1, (size_t)n, received);
      }
    }
    if (sending && (p.revents & POLLOUT)) {
      long chunk = payloadSize - sent;
      if (o.unplugAt >= 0 && sent + chunk > o.unplugAt) chunk = o.unplugAt - sent;
      ssize_t n = chunk > 0 ? write(fd, payload + sent, (size_t)chunk) : 0;
      if (n > 0) {
        if (sent == 0) firstSend = now();
        sent += n;
        lastSend = now();
      }
    }
    if (o.unplugAt >= 0 && !unplugged && sent >= o.unplugAt) {
      // The gadget's unbinding waits until its tty is closed; the close
      // hands what was written to the line first.
      close(fd);
      fd = -1;
      if (o.settle > 0) nanosleep(&(struct timespec){(time_t)o.settle, 0}, NULL);
      writeSysfs(kUnbind, kUdc);
      unplugged = 1;
      unplugTime = now();
      printf("probe unplugged after %ld bytes\n", sent);
    }
    if (o.quietFile != NULL && payload != NULL && sent == payloadSize && !ended) {
      long size = fileSize(o.quietFile);
      if (size != lastSize) {
        lastSize = size;
        lastGrowth = t;
      } else if (t - lastGrowth >= 2) {
        kill(child, SIGTERM);
        ended = 1;
      }
    }
  }
  // A node may vanish just after the command saw its line fail.
  while (o.watch != NULL && vanished == 0 && now() - endTime < 2) {
    if (access(o.watch, F_OK) != 0) vanished = now();
    poll(NULL, 0, 5);
  }
  if (o.replug && unplugged) writeSysfs(kBind, kUdc);
  if (payload != NULL) printf("probe sent %ld bytes\n", sent);
  if (sent > 0) printf("probe sending: %.0f ms\n", (lastSend - firstSend) * 1000);
  if (unplugged) printf("probe end after unplug: %.0f ms\n", (endTime - unplugTime) * 1000);
  if (vanished > 0) printf("probe end after vanish: %.0f ms\n", (endTime - vanished) * 1000);
  printf("probe cpu: %ld us\n", (long)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000L +
                                    (long)(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec));
  if (received != NULL) fclose(received);
  if (fd >= 0) close(fd);
  free(payload);
  fflush(stdout);
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
  signal(SIGPIPE, SIG_IGN);
  if (argc >= 2 && strcmp(argv[1], "run") == 0) return run(argc - 1, argv + 1);
  if (argc == 3 && strcmp(argv[1], "hex") == 0) return hex(argv[2]);
  printf(
      "usage: probe run [-T S] [-o FILE] [-g DEV [-r FILE] [-p FILE [-a S] [-u N [-U]] "
      "[-q FILE]]] [-w PATH] -- COMMAND...\n       probe hex FILE\n");
  return 125;
}
