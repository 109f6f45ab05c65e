#!/usr/bin/env python3
"""The ARM stage: sercap against the PL011 UART driver of an arm64 Linux guest
under QEMU (the `virt` board, a Cortex-A57, emulated by TCG).

    tests/arm/run.py --build DIR [--only TEXT]... [--verbose] [WORKDIR]

DIR is a configured arm64 cross-build (cmake/aarch64-linux-gnu.cmake), where
the static sercap is built (target sercap-static). WORKDIR (default:
build-arm64/guest in the repository) caches the kernel, its virtio modules
and busybox, and holds what the stage builds.

The guest also runs, on its kernel, the unit tests that user-mode QEMU
cannot run (each build's not_emulated_tests.txt), of DIR and of the configured
armhf cross-build SERCAP_ARMHF_BUILD (default: build-armhf in the
repository), whose programs the arm64 kernel runs as a 32-bit system would.

Exit status: 0 all passed, 1 a step failed or the stage broke, 77 skipped
because no QEMU for arm64 can run here (the reason printed). QEMU never
outlives the runner.
"""

import argparse
import os
import sys

import arm_guest
import arm_steps
import qemu_stage


def builds():
    """The cross-builds by architecture: --build's and SERCAP_ARMHF_BUILD's."""
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--build")
    known, _ = parser.parse_known_args()
    if known.build is None:
        return None
    armhf = os.environ.get("SERCAP_ARMHF_BUILD", os.path.join(qemu_stage.REPO, "build-armhf"))
    return {"arm64": os.path.abspath(known.build), "armhf": os.path.abspath(armhf)}


def prepare(workdir, _build):
    kernel, initramfs = arm_guest.prepare(workdir, builds())
    return kernel, initramfs, qemu_stage.accelerator("SERCAP_ARM_ACCEL")


def result(g, text, shell_status):
    return arm_steps.Result(text, shell_status, g.trace_lines(), g.device_rx)


def main():
    trees = builds()
    if trees is None:
        print("usage: tests/arm/run.py --build DIR [--only TEXT]... [--verbose] [WORKDIR]")
        return 2
    step_list = arm_steps.all_steps(trees)
    return qemu_stage.main("arm", "sercap against the PL011 driver of an arm64 guest",
                           os.path.join(qemu_stage.REPO, "build-arm64", "guest"), prepare,
                           arm_guest.Guest, step_list, result,
                           tested_kernel=arm_guest.TESTED_KERNEL, qemu=arm_guest.QEMU)


if __name__ == "__main__":
    sys.exit(main())
