#!/usr/bin/env python3
"""sercap against cat on a real CDC-ACM line, in the same guest run.

Boots the USB stage's guest (tests/usb: Debian's kernel under QEMU, g_serial
on dummy_hcd feeding cdc_acm's /dev/ttyACM0) and pushes the same text lines,
ended by Ctrl-Z, from the gadget's /dev/ttyGS0 into `sercap /dev/ttyACM0`
and into `cat < /dev/ttyACM0` (after `stty raw -echo`), in alternating
rounds. For each reader: the bytes lost (sercap stores each LF as CR LF,
which the expected size allows for) and its CPU time (user + system, from its
resource usage in the guest) per MiB; then sercap's CPU as a ratio of cat's,
taken per round. Guest CPU time under emulation is only good for comparing
the two, and on a loaded host it varies widely from round to round.

  bench/usb_acm_throughput.py [--build DIR] [--mib N] [--runs N] [WORKDIR]

WORKDIR (default build/usb) is where the USB stage caches the kernel.
"""

import argparse
import os
import statistics
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "tests"))
sys.path.insert(0, os.path.join(REPO, "tests", "usb"))

import guest  # noqa: E402
import qemu_stage  # noqa: E402

MIB = 1 << 20
CTRL_Z_LF = b"\x1a\n"
GADGET = "-g /dev/ttyGS0 -p /payload/bench -a 1"


def payload(mib):
    # A 256 KiB block of varied lines, repeated: as good as fresh text here.
    block = qemu_stage.text_payload(256 * 1024, 8)
    data = block * (mib * MIB // len(block) + 1)
    cut = data.rfind(b"\n", 0, mib * MIB) + 1
    return data[:cut]


def sercap_line(limit):
    return ("/probe run -T %d -o /tmp/out %s -- /sercap /dev/ttyACM0 -r 3000000 -t 10 "
            "-f /tmp/b.spt; echo @@rc $?; echo @@size $(wc -c < /tmp/b.spt); rm -f /tmp/b.spt"
            % (limit, GADGET))


def cat_line(limit):
    # One open of the port for both stty and cat; ended 2 s after the last byte.
    return ("/probe run -T %d -q /tmp/c.out %s -- /bin/sh -c "
            "'exec </dev/ttyACM0; stty raw -echo; exec cat >/tmp/c.out'; echo @@rc $?; "
            "echo @@size $(wc -c < /tmp/c.out); rm -f /tmp/c.out" % (limit, GADGET))


def parse(text):
    out = {}
    for line in text.splitlines():
        if line.startswith("@@size ") or line.startswith("@@rc "):
            out[line.split()[0][2:]] = int(line.split()[1])
        elif line.startswith("probe cpu: "):
            out["cpu_us"] = int(line.split()[2])
        elif line.startswith("probe sending: "):
            out["send_ms"] = int(line.split()[2])
        elif line.startswith("probe timeout"):
            out["timeout"] = True
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", help="a configured build to make the static sercap in")
    parser.add_argument("--mib", type=int, default=4)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("workdir", nargs="?", default=os.path.join(REPO, "build", "usb"))
    args = parser.parse_args()
    reason = qemu_stage.skip_reason()
    if reason:
        print("skipped: " + reason)
        return qemu_stage.SKIPPED
    workdir = os.path.abspath(args.workdir)
    data = payload(args.mib)
    kernel, initramfs = guest.prepare(workdir, args.build and os.path.abspath(args.build),
                                      os.path.join(REPO, "tests", "usb", "probe.c"),
                                      {"payload/bench": data + CTRL_Z_LF},
                                      image_dir=os.path.join(workdir, "bench"))
    lines = data.count(b"\n")
    want = {"sercap": len(data) + lines, "cat": len(data) + len(CTRL_Z_LF)}
    limit = 60 + 30 * args.mib
    figures = {"sercap": [], "cat": []}
    with guest.UsbGuest(kernel, initramfs, qemu_stage.accelerator("SERCAP_USB_ACCEL")) as g:
        number = 0
        for run in range(args.runs):
            for name, line in (("sercap", sercap_line(limit)), ("cat", cat_line(limit))):
                number += 1
                text, _ = g.run(number, line, limit + 30)
                r = parse(text)
                lost = want[name] - r.get("size", 0)
                mib = len(data) / MIB
                print("%-6s run %d: status %s, lost %d bytes, CPU %.1f ms/MiB, sent in %.1f s%s" %
                      (name, run + 1, r.get("rc"), lost, r.get("cpu_us", 0) / 1000 / mib,
                       r.get("send_ms", 0) / 1000, " (timed out)" if r.get("timeout") else ""))
                sys.stdout.flush()
                figures[name].append((lost, r.get("cpu_us", 0) / 1000 / mib))
    cpu = {n: statistics.median(c for _, c in f) for n, f in figures.items()}
    lost = {n: max(l for l, _ in f) for n, f in figures.items()}
    print("%d MiB through ttyACM0, median of %d runs:" % (args.mib, args.runs))
    for name in ("sercap", "cat"):
        print("  %-6s lost %d bytes, CPU %.1f ms/MiB" % (name, lost[name], cpu[name]))
    # Each round's own ratio: the two readers of a round ran under the same load.
    ratios = sorted(s[1] / c[1] for s, c in zip(figures["sercap"], figures["cat"]) if c[1])
    if ratios:
        print("  CPU per MiB, sercap / cat: median %.2f (rounds %s)" %
              (statistics.median(ratios), ", ".join("%.2f" % r for r in ratios)))
    return 0 if lost["sercap"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
