#!/usr/bin/env python3
"""How soon sercap ends after the device ends its report, and how soon it
holds the line after it starts.

For each of N runs: a pseudo-terminal, `sercap SLAVE -t 30 -f OUT`, a wait
until sercap has configured the line (start-up: from the spawn to the line's
settings changing), one line of report, then Ctrl-Z and a line feed; the
latency is from the write of that end mark to the moment the process has
exited. Prints the median and the worst of both, and exits non-zero when a
target is missed (latency median under 20 ms, worst under 50 ms).

  end_latency.py SERCAP [--runs N]
"""

import argparse
import os
import subprocess
import sys
import tempfile
import termios
import time


def percentile_line(name, values):
    ordered = sorted(values)
    median = ordered[len(ordered) // 2]
    return median, ordered[-1], (
        f"{name}: median {median * 1000:.1f} ms, best {ordered[0] * 1000:.1f} ms, "
        f"worst {ordered[-1] * 1000:.1f} ms over {len(values)} runs"
    )


def one_run(sercap, folder, index):
    master, slave = os.openpty()
    path = os.ttyname(slave)
    attrs = termios.tcgetattr(slave)
    attrs[4] = attrs[5] = termios.B50  # sercap sets 9600: the change shows it is ready
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    before = termios.tcgetattr(slave)
    out = os.path.join(folder, f"run{index}.spt")
    started = time.monotonic()
    process = subprocess.Popen([sercap, path, "-t", "30", "-f", out], stdout=subprocess.DEVNULL)
    while termios.tcgetattr(slave) == before:
        if process.poll() is not None or time.monotonic() - started > 10:
            sys.exit("sercap did not configure the line")
        time.sleep(0.0005)
    startup = time.monotonic() - started
    os.write(master, b"report line\n")
    time.sleep(0.05)  # read on its own, before the end mark
    sent = time.monotonic()
    os.write(master, b"\x1a\n")
    status = process.wait()
    latency = time.monotonic() - sent
    os.close(master)
    os.close(slave)
    with open(out, "rb") as f:
        if f.read() != b"report line\r\n" or status != 0:
            sys.exit(f"run {index}: wrong capture or exit status {status}")
    return startup, latency


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("sercap")
    parser.add_argument("--runs", type=int, default=25)
    args = parser.parse_args()
    startups, latencies = [], []
    with tempfile.TemporaryDirectory(prefix="sercap-latency-") as folder:
        for index in range(args.runs):
            startup, latency = one_run(args.sercap, folder, index)
            startups.append(startup)
            latencies.append(latency)
    _, _, line = percentile_line("start-up (spawn to line configured)", startups)
    print(line)
    median, worst, line = percentile_line("end latency (Ctrl-Z written to process exited)",
                                          latencies)
    print(line)
    failures = []
    if median > 0.020:
        failures.append("end latency median above 20 ms")
    if worst > 0.050:
        failures.append("end latency worst above 50 ms")
    for failure in failures:
        print(f"TARGET MISSED: {failure}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
