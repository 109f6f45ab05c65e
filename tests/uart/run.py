#!/usr/bin/env python3
"""The UART stage: sercap against a real serial driver, the 8250 driver of a
small Linux guest under QEMU with an emulated 16550.

    tests/uart/run.py [--build DIR] [--only TEXT]... [--verbose] [WORKDIR]

WORKDIR (default: build/uart in the repository) caches the kernel and holds
what the stage builds. With --build, the static sercap is built in that
configured build (target sercap-static); otherwise in a build of its own.

Gets the kernel, builds a static sercap and the probe,
packs the initramfs, boots the guest, runs the steps and prints
"N passed, N failed". Exit status: 0 all passed, 1 a step failed or the
stage broke, 77 skipped because no QEMU can run here (the reason printed).
QEMU never outlives the runner: it is powered off or killed on every way out,
and the kernel kills it should the runner itself be killed.
"""

import os
import sys

import guest
import qemu_stage
import results
import steps


def prepare(workdir, build):
    kernel, initramfs = guest.prepare(workdir, build)
    return kernel, initramfs, qemu_stage.accelerator("SERCAP_UART_ACCEL")


def result(g, text, shell_status):
    return results.Result(text, shell_status, g.trace_lines(), g.device_rx)


def main():
    return qemu_stage.main("uart", "sercap against the 8250 driver of a guest",
                           os.path.join(qemu_stage.REPO, "build", "uart"), prepare, guest.Guest,
                           steps.all_steps(), result, tested_kernel=guest.TESTED_KERNEL)


if __name__ == "__main__":
    sys.exit(main())
