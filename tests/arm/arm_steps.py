"""The steps of the ARM stage, on the PL011 of the arm64 guest: the UART
stage's kinds of step (tests/uart/steps.py), pointed at /dev/ttyAMA0, with
the PL011's own registers read from QEMU's trace of its writes.

The PL011 keeps every rate as a divisor of its 24 MHz clock, an integer part
and a 64th part, and the driver hands any rate it takes back as BOTHER
(stty shows "speed 0"), so the probe reads the rate with termios2 and the
trace shows the divisors programmed.
"""

import re

import arm_guest
import results as uart_results
import steps as uart_steps
from steps import Checks, Step, after_cue, capture_step, CTRL_Z, BREAK

DEVICE = "/dev/ttyAMA0"
PL011_CLOCK = 24000000
IBRD, FBRD, LCR_H, CR = 0x24, 0x28, 0x2C, 0x30
LCR_PEN, LCR_EPS, LCR_STP2, LCR_WLEN8 = 0x02, 0x04, 0x08, 0x60
CR_RTSEN, CR_CTSEN = 0x4000, 0x8000

_WRITE = re.compile(r"pl011_write addr 0x([0-9a-f]+) value 0x([0-9a-f]+)")


def divisor(rate):
    """The driver's divisor for rate: (integer part, 64ths)."""
    quot = (PL011_CLOCK * 4 + rate // 2) // rate
    return quot >> 6, quot & 0x3F


class Result(uart_results.Result):
    def __init__(self, text, shell_status, trace_lines, device_rx):
        super().__init__(text, shell_status, [], device_rx)
        self.writes = []
        for line in trace_lines:
            m = _WRITE.search(line)
            if m:
                self.writes.append((int(m.group(1), 16), int(m.group(2), 16)))

    def programmed(self, rate):
        """The writes after the divisor of rate was programmed, or None."""
        ibrd, fbrd = divisor(rate)
        pair = {(IBRD, ibrd), (FBRD, fbrd)}
        for i in range(len(self.writes) - 1):
            if {self.writes[i], self.writes[i + 1]} == pair:
                return self.writes[i + 2:]
        return None

    def summary(self):
        return super().summary() + ["PL011 writes (register, value): %s" %
                                    ["%02x=%x" % w for w in self.writes[:40]]]


def sercap(args, **options):
    return uart_steps.sercap(args, device=DEVICE, **options)


def check_programmed(c, r, rate, frame=None):
    """The trace shows rate's divisor, and after it the frame (LCR_H) wanted."""
    after = r.programmed(rate)
    if not c.expect(after is not None, "the trace shows no divisor %s for %d bit/s" %
                    (divisor(rate), rate)):
        return
    if frame is None:
        return
    lcr = [v for reg, v in after if reg == LCR_H]
    c.expect(lcr and lcr[0] & 0x6E == frame, "LCR_H after the divisor %s, expected %#x" %
             (["%#x" % v for v in lcr[:1]], frame))


def check_rate(rate):
    def check(r):
        c = Checks(r)
        c.status(143)  # ended by the probe once ready
        c.probe("ready", ispeed=rate, ospeed=rate, bother=1)
        check_programmed(c, r, rate, LCR_WLEN8)
        c.probe("after", ospeed=1200, icanon=1)
        return c.problems

    return check


def check_frame(parenb, parodd, cstopb, frame):
    def check(r):
        c = Checks(r)
        c.status(143)
        c.probe("ready", parenb=parenb, parodd=parodd, cstopb=cstopb, cs=8, ospeed=9600)
        check_programmed(c, r, 9600, frame)
        c.probe("after", parenb=0, cstopb=0, ospeed=1200)
        return c.problems

    return check


def check_flow(dtr, rts, crtscts):
    def check(r):
        c = Checks(r)
        c.status(143)
        c.probe("ready", dtr=dtr, rts=rts, crtscts=crtscts)
        c.probe("after", crtscts=0)
        # With RTS/CTS the driver lets the UART itself follow CTS and drive RTS.
        auto = [v for reg, v in r.writes if reg == CR and v & CR_CTSEN and v & CR_RTSEN]
        c.expect(bool(auto) == bool(crtscts), "CR writes with CTSEn and RTSEn: %s" %
                 ["%#x" % v for v in auto])
        return c.problems

    return check


def check_time_out(r):
    c = Checks(r)
    c.status(0)
    c.expect(r.file == b"partial\r\n", "capture file %r, expected b'partial\\r\\n'" % r.file)
    c.expect(b"probe timeout" not in r.text.encode(), "sercap never timed out by itself")
    return c.problems


def kernel_test_step(arch, target, program, gtest_filter):
    """A step: unit tests of a cross-build run on the guest's kernel."""
    def check(r):
        c = Checks(r)
        c.expect(r.shell_status == 0, "the tests ended with status %d" % r.shell_status)
        c.expect("[  PASSED  ]" in r.text and "[  FAILED  ]" not in r.text and
                 "[  SKIPPED ]" not in r.text, "not all passed:\n%s" % r.text[-1500:])
        return c.problems

    what = "all" if gtest_filter == "*" else gtest_filter
    return Step("%s %s on the kernel: %s" % (arch, target, what),
                "LD_LIBRARY_PATH=%s %s --gtest_filter='%s' >/tmp/unit.out 2>&1; s=$?; "
                "tail -n 40 /tmp/unit.out; (exit $s)" %
                (arm_guest.library_dir(arch), program, gtest_filter),
                check, seconds=120)


def all_steps(builds):
    steps = [
        Step("rate 9600", sercap("%s -r 9600 -tx . -ntx 1" % DEVICE), check_rate(9600)),
        Step("rate 115200", sercap("%s -r 115200 -tx . -ntx 1" % DEVICE), check_rate(115200)),
        Step("rate 250000, no standard speed", sercap("%s -r 250000 -tx . -ntx 1" % DEVICE),
             check_rate(250000)),
        Step("rate 3000000 refused by the 24 MHz PL011",
             sercap("%s -r 3000000 -tx . -ntx 1" % DEVICE), uart_steps.check_refused_rate),
        Step("even parity", sercap("%s -pe -tx . -ntx 1" % DEVICE),
             check_frame(1, 0, 0, LCR_WLEN8 | LCR_PEN | LCR_EPS)),
        Step("odd parity", sercap("%s -po -tx . -ntx 1" % DEVICE),
             check_frame(1, 1, 0, LCR_WLEN8 | LCR_PEN)),
        Step("two stop bits", sercap("%s -s 2 -tx . -ntx 1" % DEVICE),
             check_frame(0, 0, 1, LCR_WLEN8 | LCR_STP2)),
        Step("-flowctrl 0: DTR and RTS low",
             sercap("%s -flowctrl 0 -tx . -ntx 1" % DEVICE, lines="dtr,rts"),
             check_flow(0, 0, 0)),
        Step("-flowctrl 2: DTR high, RTS/CTS handshake",
             sercap("%s -flowctrl 2 -tx . -ntx 1" % DEVICE, lines="none"), check_flow(1, 1, 1)),
        capture_step("capture 64 KiB at 9600", "-r 9600", 64 * 1024, 11, device=DEVICE),
        capture_step("capture 64 KiB at 115200", "-r 115200", 64 * 1024, 12, device=DEVICE),
        capture_step("capture 64 KiB at 921600 with hardware handshake", "-r 921600 -flowctrl 2",
                     64 * 1024, 13, device=DEVICE),
        Step("break and non-printable bytes from the device",
             sercap("%s -tx . -ntx 1 -t 10 -f /tmp/brk.spt --summary /tmp/brk.json" % DEVICE,
                    wait=False, capture="/tmp/brk.spt") + "; echo @@summary; cat /tmp/brk.json",
             uart_steps.check_break_and_bytes,
             feed=after_cue(b"ab", BREAK, b"\x01\x02cd\x7f\xfe\xff\n", CTRL_Z + b"\n")),
        Step("port listing: only ttyAMA0, as COM1",
             sercap("", wait=False, lines="none", limit=10), uart_steps.check_listing),
        Step("capture through COM1",
             sercap("COM1 -tx . -ntx 1 -t 10 -f /tmp/com1.spt", wait=False,
                    capture="/tmp/com1.spt"),
             uart_steps.check_com1, feed=after_cue(b"via COM1\n", CTRL_Z + b"\n")),
        Step("time-out after a silent device",
             sercap("%s -tx . -ntx 1 -t 3 -f /tmp/to.spt" % DEVICE, wait=False,
                    capture="/tmp/to.spt"),
             check_time_out, feed=after_cue(b"partial\n")),
    ]
    # On a 32-bit kernel without large-file support (as the kernel gives a
    # 32-bit program), a capture file past 2 GiB is refused (EOVERFLOW):
    # user-mode QEMU on a 64-bit host never shows that.
    for arch, build in sorted(builds.items()):
        steps += [kernel_test_step(arch, *test) for test in arm_guest.kernel_tests(arch, build)]
    return steps
