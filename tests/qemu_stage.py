"""What the guest stages (tests/uart, tests/usb) share: a Debian kernel taken
from the archive, the static sercap and probe, the busybox initramfs, a QEMU
guest whose console runs one shell line per step, and the runner's loop over
the steps.

A stage adds its own QEMU devices and host-side channels (sockets that play
the device) by subclassing ConsoleGuest.
"""

import argparse
import ctypes
import lzma
import os
import platform
import random
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
QEMU = "qemu-system-x86_64"
SKIPPED = 77


class StageError(Exception):
    """The stage cannot go on (build, boot or guest failure)."""


class Interrupted(Exception):
    pass


def on_signal(signum, _frame):
    raise Interrupted("stopped by signal %d" % signum)


def quiet_run(args, cwd=None, what=None):
    """Runs a host command; its output is shown only when it fails."""
    r = subprocess.run(args, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if r.returncode != 0:
        raise StageError("%s failed (%d):\n%s" % (what or " ".join(args), r.returncode,
                                                  r.stdout.decode(errors="replace")[-3000:]))
    return r.stdout.decode(errors="replace")


def skip_reason(qemu=QEMU, package="qemu-system-x86"):
    """Why no QEMU can run a guest stage here, or None."""
    if platform.machine() not in ("x86_64", "amd64"):
        return "the stages are built on x86-64 and this machine is %s" % platform.machine()
    if shutil.which(qemu) is None:
        return "%s is not installed (package %s)" % (qemu, package)
    r = subprocess.run([qemu, "--version"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    if r.returncode != 0:
        return "%s does not run (status %d)" % (qemu, r.returncode)
    return None


def accelerator(variable):
    # QEMU's own emulation by default: it runs everywhere, and KVM inside a
    # virtual machine (as CI's is) has been seen to hang the guest's boot.
    return os.environ.get(variable, "tcg")


def kernel_package(meta):
    """The versioned kernel package a meta-package (linux-image-amd64) points at."""
    out = quiet_run(["apt-cache", "depends", "--no-recommends", meta])
    for line in out.splitlines():
        words = line.split()
        if len(words) == 2 and words[0] == "Depends:" and words[1].startswith("linux-image-"):
            return words[1]
    raise StageError("apt-cache names no kernel behind %s" % meta)


def _download(meta, scratch):
    package = kernel_package(meta)
    quiet_run(["apt-get", "download", "-q", package], cwd=scratch)


def fetch_kernel(workdir, meta, modules=()):
    """The kernel's image and the named modules (file names without .ko),
    downloaded and unpacked once into workdir/kernel (not installed).
    Returns the image's path; the modules are in kernel_modules(workdir)."""
    folder = os.path.join(workdir, "kernel")
    kernel = os.path.join(folder, "vmlinuz")
    wanted = [os.path.join(folder, "modules", m + ".ko") for m in modules]
    if os.path.exists(kernel) and all(os.path.exists(m) for m in wanted):
        return kernel
    os.makedirs(folder, exist_ok=True)
    scratch = tempfile.mkdtemp(prefix="kernel-", dir=workdir)
    try:
        # apt's download sandbox user must be able to write here.
        os.chmod(scratch, 0o777)
        try:
            _download(meta, scratch)
        except StageError:
            if os.geteuid() != 0:
                raise
            # A fresh machine may have no package lists yet.
            quiet_run(["apt-get", "update", "-q"])
            _download(meta, scratch)
        debs = [f for f in os.listdir(scratch) if f.endswith(".deb")]
        if len(debs) != 1:
            raise StageError("apt-get download left %r" % debs)
        unpacked = os.path.join(scratch, "x")
        quiet_run(["dpkg-deb", "-x", os.path.join(scratch, debs[0]), unpacked])
        _take_modules(unpacked, os.path.join(folder, "modules"), modules)
        boot = os.path.join(unpacked, "boot")
        images = [f for f in os.listdir(boot) if f.startswith("vmlinuz-")]
        if len(images) != 1:
            raise StageError("kernel package holds %r" % images)
        shutil.copy(os.path.join(boot, images[0]), kernel + ".part")
        os.rename(kernel + ".part", kernel)
        with open(os.path.join(folder, "version"), "w") as f:
            f.write(images[0] + "\n")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return kernel


def kernel_version(workdir):
    """The image name of the cached kernel (as vmlinuz-VERSION), or None."""
    try:
        with open(os.path.join(workdir, "kernel", "version")) as f:
            return f.read().strip() or None
    except OSError:
        return None


def kernel_modules(workdir):
    return os.path.join(workdir, "kernel", "modules")


def _take_modules(unpacked, target, modules):
    """Copies the named modules out of an unpacked kernel package, unpacking
    compressed ones (newer kernels ship .ko.xz)."""
    if not modules:
        return
    found = {}
    for root, _dirs, files in os.walk(os.path.join(unpacked, "lib", "modules")):
        for f in files:
            base = f.split(".ko")[0]
            found[base.replace("-", "_")] = os.path.join(root, f)
    os.makedirs(target, exist_ok=True)
    for m in modules:
        source = found.get(m.replace("-", "_"))
        if source is None:
            raise StageError("the kernel package has no module %s" % m)
        data = _read_module(source)
        with open(os.path.join(target, m + ".ko.part"), "wb") as f:
            f.write(data)
        os.rename(os.path.join(target, m + ".ko.part"), os.path.join(target, m + ".ko"))


def _read_module(path):
    with open(path, "rb") as f:
        data = f.read()
    if path.endswith(".xz"):
        return lzma.decompress(data)
    if path.endswith(".zst"):
        return subprocess.run(["zstd", "-dc", path], stdout=subprocess.PIPE, check=True).stdout
    return data


def build_sercap(workdir, build=None):
    """sercap linked statically, so that it runs in a guest without libraries:
    the target sercap-static of a configured build, or a build of its own."""
    if build is None:
        build = os.path.join(workdir, "static")
        if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
            quiet_run(["cmake", "-S", REPO, "-B", build, "-G", "Ninja",
                       "-DCMAKE_BUILD_TYPE=Release", "-DSERCAP_TESTS=OFF",
                       "-DSERCAP_BENCH=OFF"],
                      what="configuring the build of the static sercap")
    quiet_run(["cmake", "--build", build, "-j2", "--target", "sercap-static"],
              what="building the static sercap")
    return os.path.join(build, "src", "sercap-static")


def build_probe(workdir, sources, compiler="cc"):
    """A stage's guest-side probe, a static C program (a source or a list)."""
    probe = os.path.join(workdir, "probe")
    if isinstance(sources, str):
        sources = [sources]
    quiet_run([compiler, "-static", "-O2", "-Wall", "-Wextra", "-Werror", "-o", probe] + sources,
              what="building the probe")
    return probe


INIT = """#!/bin/sh
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
%s
stty -echo
echo "@@READY"
# Each line from the host is one step; its output goes back on the console.
while read -r line; do eval "$line" </dev/null; done
poweroff -f
"""

APPLETS = ["sh", "mount", "stty", "echo", "cat", "poweroff", "md5sum", "wc", "seq", "tr", "rm",
           "sleep"]


def pack_initramfs(workdir, programs, setup="", applets=(), files=None, busybox=None,
                   strip="strip"):
    """The guest's root: busybox, the programs (name: host path, stripped with
    strip) and files (name: bytes) at its top; setup runs in init before the
    first step. busybox: the static busybox to take (default: this machine's)."""
    busybox = busybox or shutil.which("busybox")
    if busybox is None:
        raise StageError("busybox is missing (package busybox-static)")
    with open(busybox, "rb") as f:
        if b"/ld-linux" in f.read(8192):
            raise StageError("%s is linked dynamically; the guest needs busybox-static" % busybox)
    root = os.path.join(workdir, "initramfs")
    shutil.rmtree(root, ignore_errors=True)
    for d in ("bin", "proc", "sys", "dev", "tmp"):
        os.makedirs(os.path.join(root, d))
    shutil.copy(busybox, os.path.join(root, "bin", "busybox"))
    for applet in sorted(set(APPLETS) | set(applets)):
        os.symlink("busybox", os.path.join(root, "bin", applet))
    # Without their debugging symbols the image packs and boots faster.
    for name, path in programs.items():
        quiet_run([strip, "-o", os.path.join(root, name), path])
    for name, data in (files or {}).items():
        target = os.path.join(root, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if isinstance(data, str):  # a host file to copy
            shutil.copy(data, target)
        else:
            with open(target, "wb") as f:
                f.write(data)
    with open(os.path.join(root, "init"), "w") as f:
        f.write(INIT % setup)
    os.chmod(os.path.join(root, "init"), 0o755)
    image = os.path.join(workdir, "initramfs.cpio")
    names = subprocess.run(["find", "."], cwd=root, stdout=subprocess.PIPE, check=True).stdout
    with open(image, "wb") as out:
        r = subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], cwd=root, input=names,
                           stdout=out, stderr=subprocess.PIPE)
    if r.returncode != 0:
        raise StageError("cpio failed: " + r.stderr.decode(errors="replace"))
    return image


def die_with_parent():
    """Run in the QEMU child: it is killed when the runner dies, however it dies."""
    try:
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


def connect_unix(path, seconds, proc, output):
    """Connects to a listening Unix socket of QEMU once it is there."""
    deadline = time.monotonic() + seconds
    while True:
        if proc.poll() is not None:
            raise StageError("QEMU ended (%d): %s" % (proc.returncode, output()))
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            s.connect(path)
            return s
        except (FileNotFoundError, ConnectionRefusedError):
            s.close()
            if time.monotonic() > deadline:
                raise socket.timeout()
            time.sleep(0.05)


class ConsoleGuest:
    """A booted guest whose first UART is a shell console. Use as a context
    manager: QEMU never outlives it.

    Subclasses give qemu_args() (their devices; self.tmp holds short socket
    paths), may connect their channels in connected(), and list the sockets
    to move bytes on in channels(): objects with sock, tx (bytes to send) and
    received(data) (data b"" when the peer closed)."""

    name = "guest"
    qemu = QEMU
    memory = 192
    boot_seconds_limit = 60
    kernel_args = "console=ttyS0 loglevel=1 panic=-1"

    def __init__(self, kernel, initramfs, accel, trace_events=()):
        self.kernel = kernel
        self.initramfs = initramfs
        self.accel = accel
        self.trace_events = trace_events
        self.proc = None
        self.tmp = None
        self.console = None
        self.console_buf = b""
        self.trace_offset = 0
        self.boot_seconds = None
        self.qemu_log = None
        self.trace = None

    def __enter__(self):
        try:
            self._start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def qemu_args(self):
        return []

    def console_args(self, path):
        """The guest's console: its first UART, on the socket at path."""
        return ["-chardev", "socket,id=con,path=" + path, "-serial", "chardev:con"]

    def connected(self):
        """Called once QEMU runs and before the console is accepted."""

    def channels(self):
        return []

    def _start(self):
        # Socket paths must stay short; the work tree's path may not be.
        self.tmp = tempfile.mkdtemp(prefix="sercap-%s-" % self.name)
        con_path = os.path.join(self.tmp, "console")
        # The console's socket is ours and QEMU connects to it.
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(con_path)
        listener.listen(1)
        listener.settimeout(30)
        trace = []
        if self.trace_events:
            events = os.path.join(self.tmp, "events")
            with open(events, "w") as f:
                f.write("".join(e + "\n" for e in self.trace_events))
            self.trace = os.path.join(self.tmp, "trace")
            trace = ["-trace", "events=" + events, "-D", self.trace]
        self.qemu_log = open(os.path.join(self.tmp, "qemu.out"), "w+")
        start = time.monotonic()
        self.proc = subprocess.Popen(
            [self.qemu] + [a for name in self.accel.split(",") for a in ("-accel", name)] +
            ["-m", str(self.memory), "-nodefaults", "-no-user-config",
             "-display", "none", "-no-reboot", "-kernel", self.kernel, "-initrd", self.initramfs,
             "-append", self.kernel_args] + self.console_args(con_path) +
            self.qemu_args() + trace,
            stdin=subprocess.DEVNULL, stdout=self.qemu_log, stderr=subprocess.STDOUT,
            preexec_fn=die_with_parent)
        try:
            self.connected()
            self.console, _ = listener.accept()
        except socket.timeout:
            raise StageError("QEMU did not connect its serial ports: " + self.qemu_output())
        finally:
            listener.close()
        self.console.setblocking(False)
        self._pump_until(lambda: b"@@READY\r\n" in self.console_buf, self.boot_seconds_limit,
                         "boot")
        self.boot_seconds = time.monotonic() - start
        self.console_buf = b""

    def qemu_output(self):
        if self.qemu_log is None:
            return ""
        self.qemu_log.flush()
        self.qemu_log.seek(0)
        return self.qemu_log.read()[-2000:]

    def _pump(self, timeout):
        """Moves bytes between the sockets and the buffers for at most timeout."""
        if self.proc.poll() is not None:
            raise StageError("QEMU ended (%d): %s" % (self.proc.returncode, self.qemu_output()))
        chans = [c for c in self.channels() if c.sock is not None]
        readers = [self.console] + [c.sock for c in chans]
        writers = [c.sock for c in chans if c.tx]
        r, w, _ = select.select(readers, writers, [], timeout)
        if self.console in r:
            data = self.console.recv(65536)
            if not data:
                raise StageError("the guest's console closed: " + self.qemu_output())
            self.console_buf += data
        for c in chans:
            if c.sock in r:
                try:
                    data = c.sock.recv(65536)
                except ConnectionResetError:
                    data = b""
                c.received(data)
            if c.sock is not None and c.sock in w and c.tx:
                try:
                    n = c.sock.send(c.tx[:65536])
                    c.tx = c.tx[n:]
                except BlockingIOError:
                    pass

    def _pump_until(self, done, seconds, what, feeder=None):
        deadline = time.monotonic() + seconds
        while not done():
            if feeder is not None:
                feeder(self)
            left = deadline - time.monotonic()
            if left <= 0:
                tail = self.console_buf[-1500:].decode("latin-1")
                raise StageError("%s: nothing after %d s; console ends with:\n%s"
                                 % (what, seconds, tail))
            self._pump(min(left, 0.02 if feeder is not None else 0.5))

    def prepare_step(self, step):
        """Called with each step before it runs."""

    def begin_step(self):
        """Called before each step's line is sent."""

    def run(self, number, command, seconds, feeder=None):
        """Runs one shell line in the guest; returns (its console output, exit status).

        The markers are split in the command by "" so that they only show up
        once the shell has run them.
        """
        self.begin_step()
        self.console_buf = b""
        line = 'echo @@B""%d; %s; echo @@E""%d $?\n' % (number, command, number)
        if len(line) > 4000:
            raise StageError("step command too long for the guest's console line")
        self.console.setblocking(True)
        self.console.sendall(line.encode())
        self.console.setblocking(False)
        begin, end = "@@B%d\n" % number, "@@E%d " % number

        def finished():
            i = self.console_buf.find(end.encode())
            return i >= 0 and self.console_buf.find(b"\n", i) >= 0

        self._pump_until(finished, seconds, "step %d" % number, feeder)
        text = self.console_buf.replace(b"\r\n", b"\n").decode("latin-1")
        b, e = text.find(begin), text.find(end)
        status = int(text[e + len(end):].split()[0])
        return text[b + len(begin):e], status

    def trace_lines(self):
        """The trace lines QEMU wrote since the last call."""
        if self.trace is None:
            return []
        try:
            with open(self.trace, "rb") as f:
                f.seek(self.trace_offset)
                data = f.read()
        except FileNotFoundError:
            return []
        cut = data.rfind(b"\n") + 1
        self.trace_offset += cut
        return data[:cut].decode("latin-1").splitlines()

    def close_channels(self):
        for c in self.channels():
            if c.sock is not None:
                c.sock.close()
                c.sock = None

    def close(self):
        try:
            if self.proc is not None and self.proc.poll() is None and self.console is not None:
                try:
                    self.console.setblocking(True)
                    self.console.settimeout(2)
                    self.console.sendall(b"poweroff -f\n")
                    self.proc.wait(timeout=10)
                except (OSError, subprocess.TimeoutExpired):
                    pass
        finally:
            if self.proc is not None and self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()
            if self.console is not None:
                self.console.close()
            self.close_channels()
            if self.qemu_log is not None:
                self.qemu_log.close()
                self.qemu_log = None
            if self.tmp is not None:
                shutil.rmtree(self.tmp, ignore_errors=True)
                self.tmp = None


class Step:
    """One step of a stage: a shell line run in the guest (command), what the
    host feeds the line while it runs (feed(guest), called as the guest's
    output comes), how long it may take, and check(result), which returns the
    problems found."""

    def __init__(self, name, command, check, feed=None, seconds=40):
        self.name = name
        self.command = command
        self.check = check
        self.feed = feed
        self.seconds = seconds


def after_bytes(count, *parts):
    """A feed: once the host has received count bytes, send parts."""
    state = {"sent": False}

    def feed(guest):
        if not state["sent"] and len(guest.device_rx) >= count:
            state["sent"] = True
            for part in parts:
                guest.send_device(part)

    return feed


class Checks:
    """Collects what went wrong in one step; a stage adds its own checks."""

    def __init__(self, r):
        self.r = r
        self.problems = []

    def expect(self, ok, what):
        if not ok:
            self.problems.append(what)
        return ok

    def status(self, want):
        self.expect(self.r.status == want, "sercap status %s, expected %s" % (self.r.status, want))


def text_payload(size, seed):
    """Printable lines that hold no end phrase, no marker and no control byte."""
    rng = random.Random(seed)
    alphabet = bytes(b for b in range(0x20, 0x7F) if b not in b"k^")
    out = bytearray()
    while len(out) < size:
        out += bytes(rng.choice(alphabet) for _ in range(rng.randint(0, 120))) + b"\n"
    return bytes(out)


def exchanges(*pairs):
    """A feed for a dialogue: each (heard, said) in turn, once the host has
    received exactly `heard` from sercap, it sends `said` as the device."""
    state = {"next": 0}

    def feed(guest):
        i = state["next"]
        if i < len(pairs) and guest.device_rx == pairs[i][0]:
            state["next"] = i + 1
            guest.send_device(pairs[i][1])

    return feed


# One step of a board's dialogue: the device's cue and answer, and what the
# capture file and summary then hold (the stages' dialogue steps).
DIALOGUE_OPTIONS = ('-tx . -ntx 1 -t 10 --expect "any key" --send " " --end-on "login:" '
                    "--summary /tmp/board.json")
DIALOGUE_FEED = ((b".", b"Hit any key to stop autoboot:  3"), (b". ", b"\b\b 0\r\nboard login: "))
DIALOGUE_FILE = b"Hit any key to stop autoboot:  3 0\r\nboard login:\r\n"


def dialogue_problems(r):
    """What went wrong in a dialogue step: the prompt, which has no line feed,
    was read as it arrived and answered, and the login prompt ended the run."""
    problems = []
    if r.status != 0:
        problems.append("sercap status %s, expected 0" % r.status)
    if r.device_rx != b". ":
        problems.append("the device received %r, expected the cue and the answer" % r.device_rx)
    if r.file != DIALOGUE_FILE:
        problems.append("capture file %r, expected %r" % (r.file, DIALOGUE_FILE))
    for key in ('"end": "end-text"', '"end_text": "login:"', '"expect": {"steps": 1, "matched": 1}'):
        if key not in r.text:
            problems.append("the summary lacks %s" % key)
    return problems


def indent(lines):
    return "".join("        %s\n" % line for line in lines)


def run_steps(g, step_list, tally, verbose, result):
    """Runs the steps in order; result(g, text, shell_status) takes one apart."""
    for number, step in enumerate(step_list, 1):
        start = time.monotonic()
        g.prepare_step(step)
        text, shell_status = g.run(number, step.command, step.seconds, step.feed)
        r = result(g, text, shell_status)
        problems = step.check(r)
        took = time.monotonic() - start
        if not problems:
            print("ok    %2d %s (%.1f s)" % (number, step.name, took))
            if verbose:
                sys.stdout.write(indent(r.summary()))
            tally["passed"] += 1
        else:
            print("FAIL  %2d %s (%.1f s)" % (number, step.name, took))
            sys.stdout.write(indent(problems + ["--"] + r.summary()))
            tally["failed"] += 1
        sys.stdout.flush()


def select_steps(step_list, only):
    if not only:
        return step_list
    return [s for s in step_list if any(t in s.name for t in only)]


def main(stage, description, default_workdir, prepare, boot, step_list, result,
         tested_kernel=None, qemu=(QEMU, "qemu-system-x86")):
    """The runner's frame, shared by the stages.

    prepare(workdir, build) builds what the guest needs and returns the
    arguments of boot(*those) (a context manager giving the guest).
    qemu: the QEMU program the guest needs and its Debian package.
    tested_kernel: the kernel image the stage was last checked with. The
    stage takes whichever version the archive names that day, so that it
    follows the drivers as they move; it names both when they differ, so
    that a failure on a newer kernel is seen as possibly the kernel's."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--build", help="a configured build to make the static sercap in")
    parser.add_argument("--only", action="append", metavar="TEXT",
                        help="run only the steps whose name holds TEXT (may be repeated)")
    parser.add_argument("--verbose", "-v", action="store_true",
                        help="show what each step saw, also when it passes")
    parser.add_argument("workdir", nargs="?", default=default_workdir)
    args = parser.parse_args()
    workdir = os.path.abspath(args.workdir)
    reason = skip_reason(*qemu)
    if reason:
        print("%s stage skipped: %s" % (stage, reason))
        return SKIPPED
    # SIGINT too: a shell starting the runner in the background ignores it.
    for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, on_signal)
    os.makedirs(workdir, exist_ok=True)
    step_list = select_steps(step_list, args.only)
    tally = {"passed": 0, "failed": 0}
    interrupted = False
    start = time.monotonic()
    try:
        parts = prepare(workdir, args.build and os.path.abspath(args.build))
        print("%s stage: kernel, static sercap and probe ready in %.1f s" %
              (stage, time.monotonic() - start))
        version = kernel_version(workdir)
        if version == tested_kernel:
            print("%s stage: kernel %s, the version this stage was checked with" %
                  (stage, version))
        elif tested_kernel is not None:
            print("%s stage: kernel %s; this stage was checked with %s" %
                  (stage, version or "of unknown version", tested_kernel))
        with boot(*parts) as g:
            print("%s stage: guest booted in %.1f s (%s)" % (stage, g.boot_seconds, g.accel))
            sys.stdout.flush()
            run_steps(g, step_list, tally, args.verbose, result)
    except (StageError, OSError) as e:
        print("FAIL  the stage broke: %s" % e)
    except (KeyboardInterrupt, Interrupted) as e:
        print("\n%s stage interrupted (%s); the guest is stopped" % (stage, e or "Ctrl-C"))
        interrupted = True
    passed = tally["passed"]
    # Steps that never ran count as failed.
    failed = len(step_list) - passed
    print("%s stage took %.1f s" % (stage, time.monotonic() - start))
    print("%d passed, %d failed" % (passed, failed))
    if interrupted:
        return 130
    return 0 if failed == 0 else 1
