"""The guest machine of the UART stage: what it is built from, and a running
QEMU guest with its console, its second UART's host side and the trace of
the UARTs' register writes.

The guest is Debian's cloud kernel (its 8250 driver is built in) and an
initramfs of busybox, a static sercap and the static probe. Its console is
the first UART; the device under test is the second one, /dev/ttyS1, whose
host side is a Unix socket in telnet mode, so the host can send a break.
"""

import os
import socket
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

import qemu_stage  # noqa: E402
from qemu_stage import StageError  # noqa: E402

# Debian's cloud kernel (whichever version the meta-package names that day)
# and the version the stage was last checked with.
KERNEL_PACKAGE = "linux-image-cloud-amd64"
TESTED_KERNEL = "vmlinuz-6.1.0-57-cloud-amd64"

# Telnet bytes the device socket speaks.
IAC, SB, SE, BREAK = 255, 250, 240, 243
WILL, WONT, DO, DONT = 251, 252, 253, 254


def prepare(workdir, build):
    kernel = qemu_stage.fetch_kernel(workdir, KERNEL_PACKAGE)
    sercap = qemu_stage.build_sercap(workdir, build)
    probe = qemu_stage.build_probe(workdir, [os.path.join(HERE, "probe.c"),
                                             os.path.join(HERE, "probe_port_io_x86.c")])
    initramfs = qemu_stage.pack_initramfs(workdir, {"sercap": sercap, "probe": probe})
    return kernel, initramfs


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


class DeviceChannel:
    """The host side of /dev/ttyS1: a telnet socket QEMU listens on."""

    def __init__(self):
        self.sock = None
        self.tx = b""
        self.rx = b""
        self.telnet = {}

    def received(self, data):
        if not data:
            raise StageError("the device socket closed")
        self.rx += telnet_decode(self.telnet, data)


class Guest(qemu_stage.ConsoleGuest):
    """A booted guest. Use as a context manager: QEMU never outlives it."""

    name = "uart"

    def __init__(self, kernel, initramfs, accel):
        super().__init__(kernel, initramfs, accel,
                         trace_events=["serial_write", "serial_update_parameters"])
        self.device = DeviceChannel()
        self.dev_path = None

    def qemu_args(self):
        # The device's socket is QEMU's, as only a listening socket speaks
        # telnet (which carries the break), and QEMU waits for us there
        # before it starts the guest.
        self.dev_path = os.path.join(self.tmp, "device")
        return ["-chardev", "socket,id=dut,path=%s,server=on,wait=on,telnet=on" % self.dev_path,
                "-serial", "chardev:dut"]

    def connected(self):
        self.device.sock = qemu_stage.connect_unix(self.dev_path, 30, self.proc,
                                                   self.qemu_output)
        self.device.sock.setblocking(False)

    def channels(self):
        return [self.device]

    def begin_step(self):
        self.device.rx = b""
        self.device.tx = b""

    @property
    def device_rx(self):
        return self.device.rx

    def send_device(self, data):
        """Bytes for the guest's /dev/ttyS1, as the device would send them."""
        self.device.tx += data.replace(bytes([IAC]), bytes([IAC, IAC]))

    def send_break(self):
        self.device.tx += bytes([IAC, BREAK])
