#!/usr/bin/env python3
"""sercap against a plain TCP reader through ser2net, in the same run.

ser2net serves one pseudo-terminal on 127.0.0.1 (RFC 2217 and raw TCP). For
each reader in turn, 64 MiB of text lines are written into the master side
as fast as they are taken: `sercap rfc2217://...` and `sercap tcp://...`
(the data followed by Ctrl-Z), and `socat -u TCP:... CREATE:OUT` (stopped
once the whole size arrived). Prints CPU time (user + system, from each
child's resource usage) per MiB, the ratio to socat's, and the bytes lost
(sercap stores each LF as CR LF, which the expected size allows for).

  net_throughput.py SERCAP [--mib N]
"""

import argparse
import os
import pty
import random
import select
import socket
import subprocess
import sys
import tempfile
import time
import tty

MIB = 1 << 20


def text_lines(size, seed=1):
    rng = random.Random(seed)
    table = bytes(0x20 + i % 95 for i in range(256))
    body = bytearray(rng.randbytes(size).translate(table))
    at = 0
    while at < size:
        at += rng.randint(10, 100)
        if at <= size:
            body[at - 1] = 0x0A
    body[-1] = 0x0A
    return bytes(body)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    with open("/proc/net/tcp") as table:
        return any(f"0100007F:{port:04X}" in line and " 0A " in line for line in table)


def push(master, data, child):
    """Writes all of data, or stops when the reader has ended."""
    view = memoryview(data)
    while view:
        _, ready, _ = select.select([], [master], [], 1)
        if ready:
            view = view[os.write(master, view[: 1 << 16]):]
        elif child.poll() is not None:
            return


def start_reader(command, out):
    """Starts the reader once ser2net has let the previous client's device go:
    until then it turns a new client away (with a line of text, which is not
    kept in the output)."""
    for _ in range(10):
        child = subprocess.Popen(command, stdout=subprocess.DEVNULL)
        time.sleep(1.5)  # connected and, for RFC 2217, configured
        if child.poll() is None:
            return child
        if os.path.exists(out):
            os.remove(out)
        time.sleep(1)
    sys.exit(f"{command[0]}: turned away by ser2net ten times")


def run(name, command, master, data, out, expected, ctrl_z):
    child = start_reader(command, out)
    start = time.monotonic()
    push(master, data + (b"\x1a\n" if ctrl_z else b""), child)
    if not ctrl_z:
        while (os.path.getsize(out) if os.path.exists(out) else 0) < expected:
            if child.poll() is not None or time.monotonic() - start > 300:
                break
            time.sleep(0.05)
        child.terminate()
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.monotonic() - start
    got = os.path.getsize(out) if os.path.exists(out) else 0
    cpu = usage.ru_utime + usage.ru_stime
    return {"name": name, "cpu": cpu, "wall": wall, "lost": expected - got}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("sercap")
    parser.add_argument("--mib", type=int, default=64)
    args = parser.parse_args()
    size = args.mib * MIB
    data = text_lines(size)
    stored = size + data.count(b"\n")

    master, slave = pty.openpty()
    tty.setraw(slave)
    device = os.ttyname(slave)
    work = tempfile.mkdtemp(prefix="sercap-net-bench-")
    rfc_port, raw_port = free_port(), free_port()
    config = os.path.join(work, "ser2net.yaml")
    with open(config, "w") as f:
        f.write(f"connection: &rfc\n  accepter: telnet(rfc2217),tcp,127.0.0.1,{rfc_port}\n"
                f"  connector: serialdev,{device},115200n81,local\n"
                f"connection: &raw\n  accepter: tcp,127.0.0.1,{raw_port}\n"
                f"  connector: serialdev,{device},115200n81,local\n")
    server = subprocess.Popen(["ser2net", "-n", "-u", "-c", config, "-P",
                               os.path.join(work, "pid")])
    try:
        while not (listening(rfc_port) and listening(raw_port)):
            time.sleep(0.05)
        results = []
        for name, url in (("sercap rfc2217", f"rfc2217://127.0.0.1:{rfc_port}"),
                          ("sercap tcp", f"tcp://127.0.0.1:{raw_port}")):
            out = os.path.join(work, name.replace(" ", "-") + ".spt")
            results.append(run(name, [args.sercap, url, "-r", "115200", "-f", out, "-t", "60"],
                               master, data, out, stored, True))
        out = os.path.join(work, "socat.out")
        results.append(run("socat", ["socat", "-u", f"TCP:127.0.0.1:{raw_port}",
                                     f"CREATE:{out}"], master, data, out, size, False))
    finally:
        server.terminate()
        server.wait()
        subprocess.run(["rm", "-rf", work])
    reference = results[-1]["cpu"] / args.mib
    failed = False
    for r in results:
        per_mib = r["cpu"] / args.mib
        print(f"{r['name']:16} CPU {per_mib * 1000:7.2f} ms/MiB  ratio {per_mib / reference:5.2f}"
              f"  wall {r['wall']:6.2f} s  lost {r['lost']}")
        failed |= r["lost"] != 0
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
