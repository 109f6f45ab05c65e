"""The guest machine of the USB stage: Debian's standard kernel, whose USB
drivers are modules, with two USB serial adapters.

- /dev/ttyUSB0: QEMU's emulated FTDI adapter on an xHCI controller, driven by
  the kernel's ftdi_sio. The adapter's far side is a Unix socket that QEMU
  listens on: the host plays the device there. Closing the host's end
  detaches the adapter (an unplug), connecting again attaches it.
- /dev/ttyACM0: a CDC-ACM line inside the guest. dummy_hcd is both a USB host
  controller and a gadget controller wired to each other; g_serial is the
  gadget, and cdc_acm drives it from the host side. The guest-side probe
  plays the device on the gadget's /dev/ttyGS0; unbinding dummy_udc.0 is an
  unplug, binding it again a replug.

usbmon records the control requests both adapters receive.
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

import qemu_stage  # noqa: E402

# Debian's standard kernel (whichever version the meta-package names that
# day) and the version the stage was last checked with.
KERNEL_PACKAGE = "linux-image-amd64"
TESTED_KERNEL = "vmlinuz-6.1.0-57-amd64"
# In dependency order: the archive's modules come without modules.dep.
MODULES = ["usb-common", "usbcore", "xhci-hcd", "xhci-pci", "usbserial", "ftdi_sio", "cdc-acm",
           "udc-core", "dummy_hcd", "u_serial", "configfs", "libcomposite", "usb_f_acm",
           "g_serial", "usbmon"]

SETUP = """mount -t debugfs debugfs /sys/kernel/debug
mount -t configfs none /sys/kernel/config 2>/dev/null
for m in %s; do insmod /modules/$m.ko || echo "@@insmod $m failed"; done
# Both adapters enumerate on their own; give them up to 20 s under emulation.
for i in $(seq 200); do
  [ -e /dev/ttyUSB0 ] && [ -e /dev/ttyACM0 ] && [ -e /dev/ttyGS0 ] && break
  sleep 0.1
done
""" % " ".join(MODULES)

APPLETS = ["insmod", "ls", "kill", "head", "timeout", "ln", "mkdir", "readlink", "grep", "test",
           "["]


class Channel:
    """The host's end of the FTDI adapter: bytes to send, bytes received."""

    def __init__(self):
        self.sock = None
        self.tx = b""
        self.rx = b""

    def received(self, data):
        if not data:  # QEMU dropped us: the adapter is gone
            self.sock.close()
            self.sock = None
        self.rx += data


class UsbGuest(qemu_stage.ConsoleGuest):
    name = "usb"
    memory = 256
    boot_seconds_limit = 120

    def __init__(self, kernel, initramfs, accel):
        super().__init__(kernel, initramfs, accel,
                         trace_events=["usb_serial_handle_control", "usb_serial_set_baud",
                                       "usb_serial_set_data", "usb_serial_set_flow_control",
                                       "usb_serial_reset"])
        self.ftdi = Channel()
        self.ftdi_path = None
        self.ready_trace = []
        self.plug_at_start = True

    def qemu_args(self):
        self.ftdi_path = os.path.join(self.tmp, "ftdi")
        return ["-device", "qemu-xhci,id=xhci",
                "-chardev", "socket,id=ftdi,path=%s,server=on,wait=off" % self.ftdi_path,
                "-device", "usb-serial,bus=xhci.0,chardev=ftdi"]

    def connected(self):
        self.plug()

    def channels(self):
        return [self.ftdi]

    def plug(self):
        """Attaches the FTDI adapter: the host connects to its far side."""
        if self.ftdi.sock is None:
            self.ftdi.sock = qemu_stage.connect_unix(self.ftdi_path, 30, self.proc,
                                                     self.qemu_output)
            self.ftdi.sock.setblocking(False)

    def unplug(self):
        """Detaches the FTDI adapter; bytes not yet sent are dropped."""
        if self.ftdi.sock is not None:
            self.ftdi.sock.close()
            self.ftdi.sock = None
        self.ftdi.tx = b""

    def send_device(self, data):
        self.ftdi.tx += data

    @property
    def device_rx(self):
        return self.ftdi.rx

    def mark_ready(self):
        """The device's cue came: the FTDI model's requests so far are the setup's."""
        self.ready_trace = self.trace_lines()

    def prepare_step(self, step):
        # A step may start with the FTDI adapter unplugged.
        self.plug_at_start = getattr(step, "plugged", True)

    def begin_step(self):
        self.ftdi.rx = b""
        self.ftdi.tx = b""
        if self.plug_at_start:
            self.plug()
        else:
            self.unplug()
        self.trace_lines()  # what came before is not this step's
        self.ready_trace = []


def prepare(workdir, build, probe_source, files, image_dir=None):
    """The kernel (cached in workdir) and an initramfs (in image_dir, by
    default workdir) holding the static sercap, the probe and files."""
    image_dir = image_dir or workdir
    os.makedirs(image_dir, exist_ok=True)
    kernel = qemu_stage.fetch_kernel(workdir, KERNEL_PACKAGE, MODULES)
    sercap = qemu_stage.build_sercap(workdir, build)
    probe = qemu_stage.build_probe(image_dir, probe_source)
    modules = qemu_stage.kernel_modules(workdir)
    all_files = {"modules/%s.ko" % m: os.path.join(modules, m + ".ko") for m in MODULES}
    all_files.update(files)
    initramfs = qemu_stage.pack_initramfs(image_dir, {"sercap": sercap, "probe": probe},
                                          setup=SETUP, applets=APPLETS, files=all_files)
    return kernel, initramfs
