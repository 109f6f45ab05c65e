"""The steps of the UART stage: each is one shell line run in the guest, what
the host feeds the line while it runs, and what must hold afterwards.

Most steps run sercap under the probe, which holds /dev/ttyS1 open with known
settings before sercap starts (1200 bit/s, canonical, and given modem lines),
and reads the driver again once sercap has transmitted its first text: by
then sercap has configured the line and applied its signals. sercap's
one-second transmission is also the host's cue that capture is running.
"""

import hashlib
import re

import qemu_stage
from qemu_stage import (DIALOGUE_FEED, DIALOGUE_OPTIONS, Step, after_bytes, dialogue_problems,
                        exchanges, text_payload)
from results import MARK_BEFORE, MARK_READY, MARK_AFTER

CTRL_Z = b"\x1a"
BREAK = object()  # in a feed: a break instead of bytes

UART_CLOCK_BASE = 115200  # QEMU's 16550 takes its divisor against this rate


def sercap(args, wait="-k", lines=None, clock=None, limit=20, capture=None, digest=False,
           device=None):
    """The guest line: the probe runs sercap with args, then everything comes back.

    wait: once sercap has transmitted, end it ("-k") or hang the line up ("-H");
    False: let it run to its end. device: the port the probe holds, when not
    the probe's own default (/dev/ttyS1).
    """
    opts = ["-b 1200", "-T %d" % limit, "-o /tmp/out"]
    if device is not None:
        opts.append("-d " + device)
    if lines is not None:
        opts.append("-l " + lines)
    if clock is not None:
        opts.append("-c %d" % clock)
    if wait:
        opts.append("-w tx " + wait)
    cmd = "/probe run %s -- /sercap %s; echo @@rc $?; echo @@out; /probe hex /tmp/out" % (
        " ".join(opts), args)
    if capture is not None:
        cmd = "rm -f %s; %s" % (capture, cmd)
        if digest:
            cmd += "; echo @@md5 $(md5sum < %s); echo @@size $(wc -c < %s)" % (capture, capture)
        else:
            cmd += "; echo @@file; /probe hex %s" % capture
    return cmd


def after_cue(*parts):
    """A feed: once sercap's first transmission ('.') reached the host, send parts."""
    state = {"sent": False}

    def feed(guest):
        if not state["sent"] and b"." in guest.device_rx:
            state["sent"] = True
            for part in parts:
                if part is BREAK:
                    guest.send_break()
                else:
                    guest.send_device(part)

    return feed


class Checks(qemu_stage.Checks):
    """The UART stage's checks: the probe's readings and the trace."""

    def probe(self, tag, **want):
        got = self.r.probe.get(tag)
        if not self.expect(got is not None, "no '%s' reading from the probe" % tag):
            return
        for key, value in want.items():
            self.expect(got.get(key) == value, "driver holds %s=%s %s, expected %s" %
                        (key, got.get(key), tag, value))

    def driver_lines(self, tag, dtr, rts):
        """The driver's own status line agrees on DTR and RTS."""
        line = self.r.driver.get(tag, "")
        flags = set(line.split()[-1].split("|")) if line else set()
        for name, want in (("DTR", dtr), ("RTS", rts)):
            self.expect((name in flags) == bool(want), "/proc/tty/driver/serial shows %r %s" %
                        (line, tag))

    def setup_window(self):
        w = self.r.window(MARK_BEFORE, (MARK_READY, MARK_AFTER))
        self.expect(w is not None, "the trace has no probe marks (no register access?)")
        return w or []

    def traced_params(self, baud=None, parity=None, data=8, stop=None):
        p = self.r.params(self.setup_window())
        if not self.expect(p is not None, "the trace shows no line parameters programmed"):
            return
        for i, (name, want) in enumerate((("rate", baud), ("parity", parity), ("data bits", data),
                                          ("stop bits", stop))):
            if want is not None:
                self.expect(p[i] == want, "UART programmed with %s %s, expected %s" %
                            (name, p[i], want))

    def traced_lines(self, dtr, rts):
        before = self.r.probe.get("before", {})
        _, final = self.r.line_changes(self.setup_window(), before.get("dtr"), before.get("rts"))
        self.expect(final == (dtr, rts), "the UART's last DTR, RTS written were %s, expected %s" %
                    (final, (dtr, rts)))


def check_rate(rate, clock=UART_CLOCK_BASE):
    def check(r):
        c = Checks(r)
        c.status(143)  # ended by the probe once ready
        c.probe("ready", ispeed=rate, ospeed=rate)
        # QEMU's UART runs on a fixed clock: a faster clock in the guest shows
        # as a proportionally lower rate there.
        c.traced_params(baud=rate * UART_CLOCK_BASE // clock, parity="N", stop=1)
        # Closing puts back the settings found at open, also when ended by a signal.
        c.probe("after", ospeed=1200, icanon=1)
        return c.problems

    return check


def check_refused_rate(r):
    c = Checks(r)
    c.status(8)
    c.expect(b"\n>>>SetCommState error : 22\n" in r.output,
             "no '>>>SetCommState error : 22' in the output")
    c.expect(r.device_rx == b"", "sercap transmitted on a line it should have refused")
    c.probe("after", ospeed=1200, icanon=1)  # the line as it was
    return c.problems


def check_frame(parenb, parodd, cstopb, parity, stop):
    def check(r):
        c = Checks(r)
        c.status(143)
        c.probe("ready", parenb=parenb, parodd=parodd, cstopb=cstopb, cs=8, ospeed=9600)
        c.traced_params(baud=9600, parity=parity, stop=stop)
        c.probe("after", parenb=0, cstopb=0, ospeed=1200)
        return c.problems

    return check


def check_flow(dtr, rts, crtscts):
    def check(r):
        c = Checks(r)
        c.status(143)
        c.probe("ready", dtr=dtr, rts=rts, crtscts=crtscts)
        c.probe("after", crtscts=0)
        c.driver_lines("ready", dtr, rts)
        c.traced_lines(dtr, rts)
        cts = r.watches_cts(c.setup_window())
        c.expect(cts == bool(crtscts), "the UART's modem-status interrupt %s" %
                 ("enabled: CTS is followed" if cts else "never enabled: CTS is not followed"))
        return c.problems

    return check


SIGNALS = "CLRDTR,CLRRTS,SETBREAK,CLRBREAK,SETDTR,SETRTS,777777,SETXOFF,SETXON"


def check_signals(r):
    c = Checks(r)
    c.status(143)
    want = ("#* Set Signal CLRDTR\n#* Set Signal CLRRTS\n#* Set Signal SETBREAK\n"
            "#* Set Signal CLRBREAK\n#* Set Signal SETDTR\n#* Set Signal SETRTS\n"
            "#!!Set Signal 777777 failed 95\n#* Set Signal SETXOFF\n#* Set Signal SETXON\n")
    c.expect(want.encode() in r.output, "the signal report lines differ")
    # From both lines low: the open raises them, then the list in its order.
    changes, _ = r.line_changes(c.setup_window(), 0, 0)
    expected = ["DTR+", "RTS+", "DTR-", "RTS-", "BRK+", "BRK-", "DTR+", "RTS+"]
    c.expect(changes == expected, "the UART saw %s, expected %s" % (changes, expected))
    c.probe("ready", dtr=1, rts=1)
    return c.problems


def capture_step(name, options, size, seed, device="/dev/ttyS1"):
    payload = text_payload(size, seed)
    stored = payload.replace(b"\n", b"\r\n")
    digest = hashlib.md5(stored).hexdigest()

    def check(r):
        c = Checks(r)
        c.status(0)
        c.expect(r.size == len(stored) and r.md5 == digest,
                 "capture file %s bytes md5 %s, expected %d bytes md5 %s" %
                 (r.size, r.md5, len(stored), digest))
        c.probe("after", overrun=0, bufoverrun=0)
        return c.problems

    return Step(name,
                sercap("%s %s -tx . -ntx 1 -t 10 -f /tmp/cap.spt" % (device, options), wait=False,
                       limit=90, capture="/tmp/cap.spt", digest=True, device=device),
                check, feed=after_cue(payload, CTRL_Z + b"\n"), seconds=120)


def transmission_step(name, text_cmd, text, count, extra=""):
    """sercap sends text count times; the host ends the run once it has them all."""
    want = text * count

    def check(r):
        c = Checks(r)
        c.status(0)
        c.expect(r.device_rx == want, "the host received %d bytes (%r...), expected %d" %
                 (len(r.device_rx), r.device_rx[:40], len(want)))
        return c.problems

    return Step(name,
                sercap('/dev/ttyS1 -tx "%s" -ntx %d %s -t 10 -f /tmp/tx.spt' % (text_cmd, count,
                                                                                 extra),
                       wait=False, limit=30),
                check, feed=after_bytes(len(want), CTRL_Z + b"\n"))


_LINE_ERRORS = re.compile(r'"line_errors": \{"overrun": (\d+), "buffer_overrun": (\d+), '
                          r'"framing": (\d+), "parity": (\d+), "break": (\d+)\}')


def check_break_and_bytes(r):
    c = Checks(r)
    c.status(0)
    # The summary has the driver's counts: the one break, and no lost byte.
    m = _LINE_ERRORS.search(r.text)
    if c.expect(m is not None, "no line_errors counts in the summary"):
        overrun, buffer_overrun, _, _, breaks = (int(g) for g in m.groups())
        c.expect(breaks == 1, "the summary counts %d breaks, expected 1" % breaks)
        c.expect(overrun == 0 and buffer_overrun == 0, "the summary counts lost bytes")
    c.expect('"end": "ctrl-z"' in r.text, "the summary's end is not ctrl-z")
    c.expect(r.file == b"abcd\r\n", "capture file %r, expected b'abcd\\r\\n'" % r.file)
    # Dropped: the break's NUL, 01, 02, 7F, FE, FF; each shows as '!'.
    c.expect(r.output.count(b"!") == 6, "%d '!' shown, expected 6" % r.output.count(b"!"))
    before, after = r.probe.get("before", {}), r.probe.get("after", {})
    c.expect(after.get("brk", 0) - before.get("brk", 0) == 1, "the driver counted %s breaks" %
             (after.get("brk", 0) - before.get("brk", 0)))
    return c.problems


def check_listing(r):
    c = Checks(r)
    c.status(0)
    # ttyS0 is the kernel's console and ttyS2, ttyS3 are empty slots: only the
    # device under test is numbered.
    c.expect(r.output.endswith(b"available COM ports are: COM1\n \n"),
             "the listing is %r" % r.output[-80:])
    c.probe("after", dtr=0, rts=0)
    changes, _ = r.line_changes(r.window(MARK_BEFORE, (MARK_AFTER,)) or [], 0, 0)
    c.expect(changes == [], "the listing moved the lines: %s" % changes)
    return c.problems


def check_com1(r):
    c = Checks(r)
    c.status(0)
    c.expect(r.file == b"via COM1\r\n", "capture file %r" % r.file)
    return c.problems


def check_hangup(r):
    c = Checks(r)
    c.status(32)
    c.expect("probe hung up the line" in r.text, "the probe did not hang the line up")
    return c.problems


def all_steps():
    big = "$(seq 10000 10999 | tr -d '\\n')"
    big_text = "".join(str(n) for n in range(10000, 11000)).encode()
    steps = [
        Step("rate 9600", sercap("/dev/ttyS1 -r 9600 -tx . -ntx 1"), check_rate(9600)),
        Step("rate 115200", sercap("/dev/ttyS1 -r 115200 -tx . -ntx 1"), check_rate(115200)),
        Step("rate 230400 refused by a 1.8432 MHz UART",
             sercap("/dev/ttyS1 -r 230400 -tx . -ntx 1"), check_refused_rate),
        Step("rate 230400 with a 14.7456 MHz UART clock",
             sercap("/dev/ttyS1 -r 230400 -tx . -ntx 1", clock=921600),
             check_rate(230400, clock=921600)),
        Step("even parity", sercap("/dev/ttyS1 -pe -tx . -ntx 1"),
             check_frame(1, 0, 0, "E", 1)),
        Step("odd parity", sercap("/dev/ttyS1 -po -tx . -ntx 1"), check_frame(1, 1, 0, "O", 1)),
        Step("two stop bits", sercap("/dev/ttyS1 -s 2 -tx . -ntx 1"),
             check_frame(0, 0, 1, "N", 2)),
        Step("-flowctrl 0: DTR and RTS low",
             sercap("/dev/ttyS1 -flowctrl 0 -tx . -ntx 1", lines="dtr,rts"), check_flow(0, 0, 0)),
        Step("-flowctrl 1: DTR and RTS high",
             sercap("/dev/ttyS1 -flowctrl 1 -tx . -ntx 1", lines="none"), check_flow(1, 1, 0)),
        Step("-flowctrl 2: DTR high, RTS/CTS handshake",
             sercap("/dev/ttyS1 -flowctrl 2 -tx . -ntx 1", lines="none"), check_flow(1, 1, 1)),
        Step("-setsignal: every name",
             sercap("/dev/ttyS1 -setsignal %s -tx . -ntx 1" % SIGNALS, lines="none"),
             check_signals),
        capture_step("capture 128 KiB at 9600", "-r 9600", 128 * 1024, 1),
        capture_step("capture 96 KiB at 115200", "-r 115200", 96 * 1024, 2),
        capture_step("capture 96 KiB with hardware handshake", "-r 115200 -flowctrl 2",
                     96 * 1024, 3),
        transmission_step("transmissions: 3 times", "hello", b"hello", 3),
        transmission_step("transmissions: 5000 bytes twice", big, big_text, 2),
        transmission_step("transmissions: 5000 bytes twice, -nov", big, big_text, 2, "-nov"),
        Step("break and non-printable bytes from the device",
             sercap("/dev/ttyS1 -tx . -ntx 1 -t 10 -f /tmp/brk.spt --summary /tmp/brk.json",
                    wait=False, capture="/tmp/brk.spt") + "; echo @@summary; cat /tmp/brk.json",
             check_break_and_bytes,
             feed=after_cue(b"ab", BREAK, b"\x01\x02cd\x7f\xfe\xff\n", CTRL_Z + b"\n")),
        Step("board dialogue: a prompt without a line feed answered, the login prompt ends it",
             sercap("/dev/ttyS1 %s -f /tmp/board.spt" % DIALOGUE_OPTIONS, wait=False,
                    capture="/tmp/board.spt") + "; echo @@summary; cat /tmp/board.json",
             dialogue_problems, feed=exchanges(*DIALOGUE_FEED)),
        Step("port listing: COM1 from sysfs, lines left alone",
             sercap("", wait=False, lines="none", limit=10), check_listing),
        Step("capture through COM1",
             sercap("COM1 -tx . -ntx 1 -t 10 -f /tmp/com1.spt", wait=False,
                    capture="/tmp/com1.spt"),
             check_com1, feed=after_cue(b"via COM1\n", CTRL_Z + b"\n")),
        Step("hang-up of the line", sercap("/dev/ttyS1 -t -1 -tx . -ntx 1", wait="-H"),
             check_hangup),
    ]
    return steps
