#!/usr/bin/env python3
"""The USB stage: sercap against the kernel's real USB serial drivers,
ftdi_sio and cdc_acm, in a Linux guest under QEMU.

    tests/usb/run.py [--build DIR] [--only TEXT]... [--verbose] [WORKDIR]

WORKDIR (default: build/usb in the repository) caches the kernel and its USB
modules and holds what the stage builds. With --build, the static sercap is
built in that configured build (target sercap-static); otherwise in a build
of its own.

Gets the kernel, builds a static sercap and the probe, packs the initramfs,
boots the guest, runs the steps and prints "N passed, N failed". Exit status:
0 all passed, 1 a step failed or the stage broke, 77 skipped because no QEMU
can run here (the reason printed). QEMU never outlives the runner.
"""

import os
import sys

import guest
import qemu_stage
import results
import steps

HERE = os.path.dirname(os.path.abspath(__file__))


def prepare(workdir, build):
    kernel, initramfs = guest.prepare(workdir, build, os.path.join(HERE, "probe.c"), steps.FILES)
    return kernel, initramfs, qemu_stage.accelerator("SERCAP_USB_ACCEL")


def result(g, text, shell_status):
    return results.Result(text, shell_status, g.ready_trace, g.trace_lines(), g.device_rx)


def main():
    return qemu_stage.main("usb", "sercap against the ftdi_sio and cdc_acm drivers of a guest",
                           os.path.join(qemu_stage.REPO, "build", "usb"), prepare, guest.UsbGuest,
                           steps.all_steps(), result, tested_kernel=guest.TESTED_KERNEL)


if __name__ == "__main__":
    sys.exit(main())
