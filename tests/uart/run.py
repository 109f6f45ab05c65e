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

import argparse
import os
import platform
import shutil
import signal
import subprocess
import sys
import time

import guest
import results
import steps

SKIPPED = 77


class Interrupted(Exception):
    pass


def on_signal(signum, _frame):
    raise Interrupted("stopped by signal %d" % signum)


def skip_reason():
    """Why no QEMU can run this stage here, or None."""
    if platform.machine() not in ("x86_64", "amd64"):
        return "the guest is x86-64 and this machine is %s" % platform.machine()
    if shutil.which(guest.QEMU) is None:
        return "%s is not installed (package qemu-system-x86)" % guest.QEMU
    r = subprocess.run([guest.QEMU, "--version"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    if r.returncode != 0:
        return "%s does not run (status %d)" % (guest.QEMU, r.returncode)
    return None


def accelerator():
    # QEMU's own emulation by default: it runs everywhere, and KVM inside a
    # virtual machine (as CI's is) has been seen to hang the guest's boot.
    return os.environ.get("SERCAP_UART_ACCEL", "tcg")


def indent(lines):
    return "".join("        %s\n" % line for line in lines)


def run_steps(g, step_list, tally, verbose):
    for number, step in enumerate(step_list, 1):
        start = time.monotonic()
        text, shell_status = g.run(number, step.command, step.seconds, step.feed)
        r = results.Result(text, shell_status, g.trace_lines(), g.device_rx)
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


def main():
    parser = argparse.ArgumentParser(description="sercap against the 8250 driver of a guest")
    parser.add_argument("--build", help="a configured build to make the static sercap in")
    parser.add_argument("--only", action="append", metavar="TEXT",
                        help="run only the steps whose name holds TEXT (may be repeated)")
    parser.add_argument("--verbose", "-v", action="store_true",
                        help="show what each step saw, also when it passes")
    parser.add_argument("workdir", nargs="?", default=os.path.join(guest.REPO, "build", "uart"))
    args = parser.parse_args()
    workdir = os.path.abspath(args.workdir)
    reason = skip_reason()
    if reason:
        print("uart stage skipped: " + reason)
        return SKIPPED
    # SIGINT too: a shell starting the runner in the background ignores it.
    for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, on_signal)
    os.makedirs(workdir, exist_ok=True)
    step_list = steps.all_steps()
    if args.only:
        step_list = [s for s in step_list if any(t in s.name for t in args.only)]
    tally = {"passed": 0, "failed": 0}
    interrupted = False
    start = time.monotonic()
    try:
        kernel = guest.fetch_kernel(workdir)
        version = guest.kernel_version(workdir)
        if version == guest.TESTED_KERNEL:
            print("uart stage: kernel %s, the version this stage was checked with" % version)
        else:
            print("uart stage: kernel %s; this stage was checked with %s" %
                  (version or "of unknown version", guest.TESTED_KERNEL))
        sercap = guest.build_sercap(workdir, args.build and os.path.abspath(args.build))
        probe = guest.build_probe(workdir)
        initramfs = guest.pack_initramfs(workdir, sercap, probe)
        print("uart stage: kernel, static sercap and probe ready in %.1f s" %
              (time.monotonic() - start))
        with guest.Guest(kernel, initramfs, accelerator()) as g:
            print("uart stage: guest booted in %.1f s (%s)" % (g.boot_seconds, g.accel))
            run_steps(g, step_list, tally, args.verbose)
    except (guest.StageError, OSError) as e:
        print("FAIL  the stage broke: %s" % e)
    except (KeyboardInterrupt, Interrupted) as e:
        print("\nuart stage interrupted (%s); the guest is stopped" % (e or "Ctrl-C"))
        interrupted = True
    passed = tally["passed"]
    # Steps that never ran count as failed.
    failed = len(step_list) - passed
    print("uart stage took %.1f s" % (time.monotonic() - start))
    print("%d passed, %d failed" % (passed, failed))
    if interrupted:
        return 130
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
