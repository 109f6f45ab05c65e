"""The guest machine of the ARM stage: QEMU's arm64 `virt` board with a
Cortex-A57, Debian's arm64 kernel, and an initramfs of the arm64 busybox, a
static arm64 sercap and the probe.

The device under test is the board's PL011 UART, /dev/ttyAMA0, the kernel's
built-in driver; its host side is a Unix socket in telnet mode, as the UART
stage's is, so the host can send a break. The guest's console is a virtio
console (hvc0), whose modules init loads first, so that the PL011 is free.
"""

import os
import shutil
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.dirname(HERE)
sys.path.insert(0, TESTS)
sys.path.insert(1, os.path.join(TESTS, "uart"))

import qemu_stage  # noqa: E402
import guest as uart_guest  # noqa: E402
from qemu_stage import StageError  # noqa: E402

QEMU = ("qemu-system-aarch64", "qemu-system-arm")
TRIPLET = "aarch64-linux-gnu"
# Debian's arm64 kernel (the PL011 and the 8250 built in, virtio as modules)
# and the version the stage was last checked with.
KERNEL_PACKAGE = "linux-image-arm64:arm64"
TESTED_KERNEL = "vmlinuz-6.1.0-57-arm64"
MODULES = ["virtio_mmio", "virtio_console"]
BUSYBOX_PACKAGE = "busybox-static:arm64"

# The 32-bit ARM programs the arm64 kernel runs too (its compat layer), with
# the C and C++ libraries of Debian's armhf cross compiler.
ARMHF_TRIPLET = "arm-linux-gnueabihf"
ARMHF_LIBRARIES = ["ld-linux-armhf.so.3", "libc.so.6", "libm.so.6", "libstdc++.so.6",
                   "libgcc_s.so.1"]
ARMHF_TESTS = {"capture_test": "src/capture/capture_test"}

# Before the first step: the console's modules, then the console itself.
SETUP = """insmod /modules/virtio_mmio.ko
insmod /modules/virtio_console.ko
while [ ! -e /dev/hvc0 ]; do sleep 0.05; done
exec </dev/hvc0 >/dev/hvc0 2>&1"""


def fetch_busybox(workdir):
    """The arm64 static busybox, from Debian's package (downloaded, not installed)."""
    target = os.path.join(workdir, "busybox")
    if os.path.exists(target):
        return target
    scratch = tempfile.mkdtemp(prefix="busybox-", dir=workdir)
    try:
        os.chmod(scratch, 0o777)  # apt's download sandbox user writes here
        qemu_stage.quiet_run(["apt-get", "download", "-q", BUSYBOX_PACKAGE], cwd=scratch)
        debs = [f for f in os.listdir(scratch) if f.endswith(".deb")]
        if len(debs) != 1:
            raise StageError("apt-get download left %r" % debs)
        unpacked = os.path.join(scratch, "x")
        qemu_stage.quiet_run(["dpkg-deb", "-x", os.path.join(scratch, debs[0]), unpacked])
        shutil.copy(os.path.join(unpacked, "bin", "busybox"), target + ".part")
        os.rename(target + ".part", target)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return target


def armhf_files(armhf_build):
    """The armhf unit tests the guest runs (built in armhf_build, a configured
    armhf cross-build) and their libraries, as initramfs files under /armhf."""
    if not os.path.exists(os.path.join(armhf_build, "CMakeCache.txt")):
        raise StageError("%s is no configured armhf build (scripts/test --arm makes one)"
                         % armhf_build)
    qemu_stage.quiet_run(["cmake", "--build", armhf_build, "-j2", "--target"] +
                         sorted(ARMHF_TESTS), what="building the armhf unit tests")
    files = {"armhf/" + name: os.path.join(armhf_build, path)
             for name, path in ARMHF_TESTS.items()}
    lib = os.path.join("/usr", ARMHF_TRIPLET, "lib")
    for name in ARMHF_LIBRARIES:
        files["armhf/" + name] = os.path.join(lib, name)
    # The program's loader is where its header names it.
    files["lib/ld-linux-armhf.so.3"] = os.path.join(lib, "ld-linux-armhf.so.3")
    return files


def prepare(workdir, build, armhf_build):
    """The kernel and the initramfs; build is a configured arm64 cross-build."""
    if build is None:
        raise StageError("the ARM stage needs --build, a configured arm64 cross-build")
    files = armhf_files(armhf_build)
    kernel = qemu_stage.fetch_kernel(workdir, KERNEL_PACKAGE, MODULES)
    busybox = fetch_busybox(workdir)
    sercap = qemu_stage.build_sercap(workdir, build)
    probe = qemu_stage.build_probe(
        workdir, [os.path.join(TESTS, "uart", "probe.c"), os.path.join(HERE, "probe_port_io_none.c")],
        compiler=TRIPLET + "-gcc")
    modules = {"modules/%s.ko" % m: os.path.join(qemu_stage.kernel_modules(workdir), m + ".ko")
               for m in MODULES}
    modules.update(files)
    initramfs = qemu_stage.pack_initramfs(workdir, {"sercap": sercap, "probe": probe}, setup=SETUP,
                                          applets=["insmod"], files=modules, busybox=busybox,
                                          strip=TRIPLET + "-strip")
    return kernel, initramfs


class Guest(uart_guest.Guest):
    """A booted arm64 guest. Use as a context manager: QEMU never outlives it."""

    name = "arm"
    qemu = QEMU[0]
    memory = 256
    kernel_args = "console=hvc0 loglevel=1 panic=-1"

    def __init__(self, kernel, initramfs, accel):
        qemu_stage.ConsoleGuest.__init__(self, kernel, initramfs, accel,
                                         trace_events=["pl011_write"])
        self.device = uart_guest.DeviceChannel()
        self.dev_path = None

    def console_args(self, path):
        return ["-chardev", "socket,id=con,path=" + path, "-device", "virtio-serial-device",
                "-device", "virtconsole,chardev=con"]

    def qemu_args(self):
        # The PL011 is the board's first serial port.
        return ["-M", "virt", "-cpu", "cortex-a57"] + super().qemu_args()
