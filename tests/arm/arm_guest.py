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

# The unit tests that user-mode QEMU cannot run (not_emulated_tests.txt of a
# cross-build) run here on the guest's kernel, arm64 ones and armhf ones (the
# arm64 kernel runs 32-bit ARM programs too), each program at its path in the
# build with the C and C++ libraries of Debian's cross compiler beside.
ARCHES = {"arm64": "aarch64-linux-gnu", "armhf": "arm-linux-gnueabihf"}
LOADERS = {"arm64": "ld-linux-aarch64.so.1", "armhf": "ld-linux-armhf.so.3"}
LIBRARIES = ["libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1"]
# Also run in the guest: cases that pass under user-mode QEMU whatever the
# build, but not on a 32-bit kernel without large-file support.
ON_KERNEL = {"armhf": [("capture_test", "src/capture/capture_test",
                        "CaptureFile.AppendsToAFileAlreadyPastTwoGibibytes")]}


def kernel_tests(arch, build):
    """(target, program, gtest filter) of the unit tests the guest runs for a
    configured cross-build of arch."""
    listing = os.path.join(build, "not_emulated_tests.txt")
    if not os.path.exists(listing):
        raise StageError("%s has no not_emulated_tests.txt: no configured %s cross-build "
                         "(scripts/test --arm makes one)" % (build, arch))
    with open(listing) as f:
        tests = [tuple(line.split(" ", 2)) for line in f.read().splitlines() if line]
    return tests + [(t, os.path.join(build, p), g) for t, p, g in ON_KERNEL.get(arch, [])]


def library_dir(arch):
    return "/lib/sercap-" + arch


def test_files(arch, build):
    """Builds arch's kernel tests; the initramfs files they need."""
    tests = kernel_tests(arch, build)
    qemu_stage.quiet_run(["cmake", "--build", build, "-j2", "--target"] +
                         sorted({t for t, _, _ in tests}),
                         what="building the %s unit tests for the guest" % arch)
    files = {program.lstrip("/"): program for _, program, _ in tests}
    # The simulated device's test runs the simulated device.
    sim = os.path.join(os.path.abspath(build), "sercap-sim")
    if os.path.exists(sim):
        files[sim.lstrip("/")] = sim
    lib = os.path.join("/usr", ARCHES[arch], "lib")
    for name in LIBRARIES:
        files[library_dir(arch).lstrip("/") + "/" + name] = os.path.join(lib, name)
    # A program's loader is where its header names it.
    files["lib/" + LOADERS[arch]] = os.path.join(lib, LOADERS[arch])
    return files


# Before the first step: the console's modules, then the console itself.
SETUP = """mkdir -p /dev/pts
mount -t devpts devpts /dev/pts
insmod /modules/virtio_mmio.ko
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


def prepare(workdir, builds):
    """The kernel and the initramfs; builds: the configured cross-builds by
    architecture (arm64's builds the static sercap)."""
    build = builds["arm64"]
    files = {}
    for arch, tree in sorted(builds.items()):
        files.update(test_files(arch, tree))
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
                                          applets=["insmod", "mkdir"], files=modules, busybox=busybox,
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
