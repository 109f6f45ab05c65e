#!/usr/bin/env python3
"""The ARM stage: sercap against the PL011 UART driver of an arm64 Linux guest
under QEMU (the `virt` board, a Cortex-A57, emulated by TCG).

    tests/arm/run.py --build DIR [--only TEXT]... [--verbose] [WORKDIR]

DIR is a configured arm64 cross-build (cmake/aarch64-linux-gnu.cmake), where
the static sercap is built (target sercap-static). WORKDIR (default:
build-arm64/guest in the repository) caches the kernel, its virtio modules
and busybox, and holds what the stage builds. The guest also runs armhf unit
tests on the arm64 kernel's 32-bit layer, as a 32-bit ARM system would: they
are built in the configured armhf cross-build SERCAP_ARMHF_BUILD (default:
build-armhf in the repository).

Exit status: 0 all passed, 1 a step failed or the stage broke, 77 skipped
because no QEMU for arm64 can run here (the reason printed). QEMU never
outlives the runner.
"""

import os
import sys

import arm_guest
import arm_steps
import qemu_stage


def prepare(workdir, build):
    armhf_build = os.environ.get("SERCAP_ARMHF_BUILD",
                                 os.path.join(qemu_stage.REPO, "build-armhf"))
    kernel, initramfs = arm_guest.prepare(workdir, build, armhf_build)
    return kernel, initramfs, qemu_stage.accelerator("SERCAP_ARM_ACCEL")


def result(g, text, shell_status):
    return arm_steps.Result(text, shell_status, g.trace_lines(), g.device_rx)


def main():
    return qemu_stage.main("arm", "sercap against the PL011 driver of an arm64 guest",
                           os.path.join(qemu_stage.REPO, "build-arm64", "guest"), prepare,
                           arm_guest.Guest, arm_steps.all_steps(), result,
                           tested_kernel=arm_guest.TESTED_KERNEL, qemu=arm_guest.QEMU)


if __name__ == "__main__":
    sys.exit(main())
