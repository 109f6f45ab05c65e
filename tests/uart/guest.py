"""The guest machine of the UART stage: what it is built from, and a running
QEMU guest with its console, its second UART's host side and the trace of
the UARTs' register writes.

The guest is Debian's cloud kernel (its 8250 driver is built in) and an
initramfs of busybox, a static sercap and the static probe. Its console is
the first UART; the device under test is the second one, /dev/ttyS1, whose
host side is a Unix socket in telnet mode, so the host can send a break.
"""

import ctypes
import os
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
QEMU = "qemu-system-x86_64"
# Debian's cloud kernel, whichever version the meta-package names that day,
# so that the stage follows the driver as it moves. The version the stage was
# last checked with is below; the runner names both when they differ, so that
# a failure on a newer kernel is seen as possibly the kernel's.
KERNEL_PACKAGE = "linux-image-cloud-amd64"
TESTED_KERNEL = "vmlinuz-6.1.0-57-cloud-amd64"

# Telnet bytes the device socket speaks.
IAC, SB, SE, BREAK = 255, 250, 240, 243
WILL, WONT, DO, DONT = 251, 252, 253, 254


class StageError(Exception):
    """The stage cannot go on (build, boot or guest failure)."""


def quiet_run(args, cwd=None, what=None):
    """Runs a host command; its output is shown only when it fails."""
    r = subprocess.run(args, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if r.returncode != 0:
        raise StageError("%s failed (%d):\n%s" % (what or " ".join(args), r.returncode,
                                                  r.stdout.decode(errors="replace")[-3000:]))
    return r.stdout.decode(errors="replace")


def kernel_package():
    """The versioned cloud kernel package the meta-package points at."""
    out = quiet_run(["apt-cache", "depends", "--no-recommends", KERNEL_PACKAGE])
    for line in out.splitlines():
        words = line.split()
        if len(words) == 2 and words[0] == "Depends:" and words[1].startswith("linux-image-"):
            return words[1]
    raise StageError("apt-cache names no kernel behind %s" % KERNEL_PACKAGE)


def fetch_kernel(workdir):
    """The cloud kernel's image, downloaded and unpacked once (not installed)."""
    kernel = os.path.join(workdir, "kernel", "vmlinuz")
    if os.path.exists(kernel):
        return kernel
    os.makedirs(os.path.dirname(kernel), exist_ok=True)
    scratch = tempfile.mkdtemp(prefix="kernel-", dir=workdir)
    try:
        # apt's download sandbox user must be able to write here.
        os.chmod(scratch, 0o777)
        try:
            package = kernel_package()
            quiet_run(["apt-get", "download", "-q", package], cwd=scratch)
        except StageError:
            if os.geteuid() != 0:
                raise
            # A fresh machine may have no package lists yet.
            quiet_run(["apt-get", "update", "-q"])
            package = kernel_package()
            quiet_run(["apt-get", "download", "-q", package], cwd=scratch)
        debs = [f for f in os.listdir(scratch) if f.endswith(".deb")]
        if len(debs) != 1:
            raise StageError("apt-get download left %r" % debs)
        unpacked = os.path.join(scratch, "x")
        quiet_run(["dpkg-deb", "-x", os.path.join(scratch, debs[0]), unpacked])
        boot = os.path.join(unpacked, "boot")
        images = [f for f in os.listdir(boot) if f.startswith("vmlinuz-")]
        if len(images) != 1:
            raise StageError("kernel package holds %r" % images)
        shutil.copy(os.path.join(boot, images[0]), kernel + ".part")
        os.rename(kernel + ".part", kernel)
        with open(os.path.join(workdir, "kernel", "version"), "w") as f:
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


def build_sercap(workdir, build=None):
    """sercap linked statically, so that it runs in a guest without libraries:
    the target sercap-static of a configured build, or a build of its own."""
    if build is None:
        build = os.path.join(workdir, "static")
        if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
            quiet_run(["cmake", "-S", REPO, "-B", build, "-G", "Ninja",
                       "-DCMAKE_BUILD_TYPE=Release", "-DSERCAP_BENCH=OFF"],
                      what="configuring the build of the static sercap")
    quiet_run(["cmake", "--build", build, "-j2", "--target", "sercap-static"],
              what="building the static sercap")
    return os.path.join(build, "src", "sercap-static")


def build_probe(workdir):
    probe = os.path.join(workdir, "probe")
    quiet_run(["cc", "-static", "-O2", "-Wall", "-Wextra", "-Werror", "-o", probe,
               os.path.join(HERE, "probe.c")], what="building the probe")
    return probe


INIT = """#!/bin/sh
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
stty -echo
echo "@@READY"
# Each line from the host is one step; its output goes back on the console.
while read -r line; do eval "$line" </dev/null; done
poweroff -f
"""


def pack_initramfs(workdir, sercap, probe):
    busybox = shutil.which("busybox")
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
    applets = ["sh", "mount", "stty", "echo", "cat", "poweroff", "md5sum", "wc", "seq", "tr",
               "rm", "sleep"]
    for applet in applets:
        os.symlink("busybox", os.path.join(root, "bin", applet))
    # Without their debugging symbols the image packs and boots faster.
    quiet_run(["strip", "-o", os.path.join(root, "sercap"), sercap])
    quiet_run(["strip", "-o", os.path.join(root, "probe"), probe])
    with open(os.path.join(root, "init"), "w") as f:
        f.write(INIT)
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


def telnet_decode(state, data):
    """Strips telnet commands from bytes QEMU sent; state carries a split command."""
    out = bytearray()
    pending = state.get("pending", b"") + data
    i = 0
    while i < len(pending):
        b = pending[i]
        if b != IAC:
            out.append(b)
            i += 1
            continue
        if i + 1 >= len(pending):
            break
        cmd = pending[i + 1]
        if cmd == IAC:
            out.append(IAC)
            i += 2
        elif cmd in (WILL, WONT, DO, DONT):
            if i + 2 >= len(pending):
                break
            i += 3
        elif cmd == SB:
            end = pending.find(bytes([IAC, SE]), i + 2)
            if end < 0:
                break
            i = end + 2
        else:
            i += 2
    state["pending"] = pending[i:]
    return bytes(out)


class Guest:
    """A booted guest. Use as a context manager: QEMU never outlives it."""

    def __init__(self, kernel, initramfs, accel):
        self.kernel = kernel
        self.initramfs = initramfs
        self.accel = accel
        self.proc = None
        self.tmp = None
        self.console = None
        self.device = None
        self.console_buf = b""
        self.device_rx = b""
        self.device_tx = b""
        self.telnet = {}
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

    def _start(self):
        # Socket paths must stay short; the work tree's path may not be.
        self.tmp = tempfile.mkdtemp(prefix="sercap-uart-")
        con_path = os.path.join(self.tmp, "console")
        dev_path = os.path.join(self.tmp, "device")
        # The console's socket is ours and QEMU connects to it; the device's is
        # QEMU's, as only a listening socket speaks telnet (which carries the
        # break), and QEMU waits for us there before it starts the guest.
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(con_path)
        listener.listen(1)
        listener.settimeout(30)
        events = os.path.join(self.tmp, "events")
        with open(events, "w") as f:
            f.write("serial_write\nserial_update_parameters\n")
        self.trace = os.path.join(self.tmp, "trace")
        self.qemu_log = open(os.path.join(self.tmp, "qemu.out"), "w+")
        start = time.monotonic()
        self.proc = subprocess.Popen(
            [QEMU] + [a for name in self.accel.split(",") for a in ("-accel", name)] +
            ["-m", "192", "-nodefaults", "-no-user-config",
             "-display", "none", "-no-reboot", "-kernel", self.kernel, "-initrd", self.initramfs,
             "-append", "console=ttyS0 loglevel=1 panic=-1",
             "-chardev", "socket,id=con,path=" + con_path, "-serial", "chardev:con",
             "-chardev", "socket,id=dut,path=%s,server=on,wait=on,telnet=on" % dev_path,
             "-serial", "chardev:dut",
             "-trace", "events=" + events, "-D", self.trace],
            stdin=subprocess.DEVNULL, stdout=self.qemu_log, stderr=subprocess.STDOUT,
            preexec_fn=die_with_parent)
        try:
            self.device = self._connect(dev_path, 30)
            self.console, _ = listener.accept()
        except socket.timeout:
            raise StageError("QEMU did not connect its serial ports: " + self.qemu_output())
        finally:
            listener.close()
        for s in (self.console, self.device):
            s.setblocking(False)
        self._pump_until(lambda: b"@@READY\r\n" in self.console_buf, 60, "boot")
        self.boot_seconds = time.monotonic() - start
        self.console_buf = b""

    def _connect(self, path, seconds):
        """Connects to QEMU's listening socket once it is there."""
        deadline = time.monotonic() + seconds
        while True:
            if self.proc.poll() is not None:
                raise StageError("QEMU ended (%d): %s" % (self.proc.returncode,
                                                          self.qemu_output()))
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                s.connect(path)
                return s
            except (FileNotFoundError, ConnectionRefusedError):
                s.close()
                if time.monotonic() > deadline:
                    raise socket.timeout()
                time.sleep(0.05)

    def qemu_output(self):
        if self.qemu_log is None:
            return ""
        self.qemu_log.flush()
        self.qemu_log.seek(0)
        return self.qemu_log.read()[-2000:]

    def send_device(self, data):
        """Bytes for the guest's /dev/ttyS1, as the device would send them."""
        self.device_tx += data.replace(bytes([IAC]), bytes([IAC, IAC]))

    def send_break(self):
        self.device_tx += bytes([IAC, BREAK])

    def _pump(self, timeout):
        """Moves bytes between the sockets and the buffers for at most timeout."""
        if self.proc.poll() is not None:
            raise StageError("QEMU ended (%d): %s" % (self.proc.returncode, self.qemu_output()))
        writers = [self.device] if self.device_tx else []
        r, w, _ = select.select([self.console, self.device], writers, [], timeout)
        if self.console in r:
            data = self.console.recv(65536)
            if not data:
                raise StageError("the guest's console closed: " + self.qemu_output())
            self.console_buf += data
        if self.device in r:
            data = self.device.recv(65536)
            if not data:
                raise StageError("the device socket closed")
            self.device_rx += telnet_decode(self.telnet, data)
        if self.device in w:
            try:
                n = self.device.send(self.device_tx[:65536])
                self.device_tx = self.device_tx[n:]
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
            self._pump(min(left, 0.05 if feeder is not None else 0.5))

    def run(self, number, command, seconds, feeder=None):
        """Runs one shell line in the guest; returns (its console output, exit status).

        The markers are split in the command by "" so that they only show up
        once the shell has run them.
        """
        self.device_rx = b""
        self.device_tx = b""
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
        try:
            with open(self.trace, "rb") as f:
                f.seek(self.trace_offset)
                data = f.read()
        except FileNotFoundError:
            return []
        cut = data.rfind(b"\n") + 1
        self.trace_offset += cut
        return data[:cut].decode("latin-1").splitlines()

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
            for s in (self.console, self.device):
                if s is not None:
                    s.close()
            if self.qemu_log is not None:
                self.qemu_log.close()
                self.qemu_log = None
            if self.tmp is not None:
                shutil.rmtree(self.tmp, ignore_errors=True)
                self.tmp = None
