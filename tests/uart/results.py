"""What one guest step gave back, taken apart: sercap's exit status and output,
the probe's readings of the driver, the capture file, the bytes the host's
side of the line received, and the UART register writes QEMU traced.
"""

import re

# The probe's marks in the second UART's scratch register.
MARK_BEFORE, MARK_READY, MARK_AFTER = 0xA1, 0xA2, 0xA3
IER, LCR, MCR, SCR = 1, 3, 4, 7
MCR_DTR, MCR_RTS, LCR_BREAK, LCR_DLAB, IER_MSI = 0x01, 0x02, 0x40, 0x80, 0x08

_WRITE = re.compile(r"^serial_write write addr 0x([0-9a-f]+) val 0x([0-9a-f]+)")
_PARAMS = re.compile(r"^serial_update_parameters baudrate=(\d+) parity='(.)' data=(\d+) stop=(\d+)")
_STATE = re.compile(r"^probe (before|ready|after): (.*)$")
_DRIVER = re.compile(r"^probe (before|ready|after)-driver: (.*)$")


def trace_events(lines):
    """Register writes that matter here, in order.

    Register offsets do not say which UART was written; the console's UART
    only writes its data and interrupt registers while the guest runs, so
    modem-control, line-control and scratch writes are the second UART's.
    The console's interrupt-enable writes never enable modem-status
    interrupts, so one that does is the second UART's too.
    """
    events, dlab = [], False
    for line in lines:
        m = _WRITE.match(line)
        if m:
            addr, val = int(m.group(1), 16), int(m.group(2), 16)
            if addr == SCR:
                events.append(("mark", val))
            elif addr == MCR:
                events.append(("mcr", val))
            elif addr == LCR:
                events.append(("lcr", val))
                dlab = bool(val & LCR_DLAB)
            elif addr == IER and not dlab:  # with DLAB set it is the divisor's high byte
                events.append(("ier", val))
            continue
        m = _PARAMS.match(line)
        if m:
            events.append(("params", int(m.group(1)), m.group(2), int(m.group(3)),
                           int(m.group(4))))
    return events


class Result:
    def __init__(self, text, shell_status, trace_lines, device_rx):
        self.text = text
        self.shell_status = shell_status
        self.device_rx = device_rx
        self.events = trace_events(trace_lines)
        self.status = None  # sercap's, through the probe
        self.output = b""
        self.file = None
        self.md5 = None
        self.size = None
        self.probe = {}
        self.driver = {}
        self.other = []
        section = None
        for line in text.splitlines():
            if line.startswith("@@rc "):
                self.status = int(line.split()[1])
            elif line == "@@out":
                section = "out"
            elif line == "@@file":
                section = "file"
                self.file = b""
            elif line.startswith("@@md5 "):
                self.md5 = line.split()[1]
            elif line.startswith("@@size "):
                self.size = int(line.split()[1])
            elif line.startswith("hex: ") and section == "out":
                self.output += bytes.fromhex(line[5:])
            elif line.startswith("hex: ") and section == "file":
                self.file += bytes.fromhex(line[5:])
            elif _STATE.match(line):
                m = _STATE.match(line)
                self.probe[m.group(1)] = {k: int(v) for k, v in
                                          (w.split("=") for w in m.group(2).split())}
            elif _DRIVER.match(line):
                m = _DRIVER.match(line)
                self.driver[m.group(1)] = m.group(2)
            elif line.strip():
                self.other.append(line)

    def window(self, first=MARK_BEFORE, stops=(MARK_READY, MARK_AFTER)):
        """Events after the probe's `first` mark up to the next of `stops`."""
        out, inside = [], False
        for e in self.events:
            if e[0] == "mark" and e[1] == first and not inside:
                inside = True
            elif e[0] == "mark" and e[1] in stops and inside:
                return out
            elif inside:
                out.append(e)
        return out if inside else None

    def params(self, window):
        """The last rate, parity, data bits and stop bits programmed in window."""
        p = [e for e in window if e[0] == "params"]
        return p[-1][1:] if p else None

    def line_changes(self, window, dtr, rts):
        """The DTR, RTS and break changes the UART saw in window, from the given
        starting state, as "DTR+", "RTS-", "BRK+"...; and the final DTR, RTS."""
        changes, brk = [], 0
        for e in window:
            if e[0] == "mcr":
                for name, bit, old in (("DTR", MCR_DTR, dtr), ("RTS", MCR_RTS, rts)):
                    new = 1 if e[1] & bit else 0
                    if new != old:
                        changes.append(name + ("+" if new else "-"))
                dtr, rts = (1 if e[1] & MCR_DTR else 0), (1 if e[1] & MCR_RTS else 0)
            elif e[0] == "lcr":
                new = 1 if e[1] & LCR_BREAK else 0
                if new != brk:
                    changes.append("BRK" + ("+" if new else "-"))
                brk = new
        return changes, (dtr, rts)

    def watches_cts(self, window):
        """Whether the UART's modem-status interrupt was enabled in window:
        the 8250 driver does so to follow CTS for RTS/CTS flow control."""
        return any(e[0] == "ier" and e[1] & IER_MSI for e in window)

    def summary(self):
        """What to show when a step fails."""
        lines = ["sercap status: %s" % self.status, "sercap output: %r" % self.output]
        if self.md5 is not None:
            lines.append("capture file: %s bytes, md5 %s" % (self.size, self.md5))
        if self.file is not None:
            lines.append("capture file (%d bytes): %r" % (len(self.file), self.file[:200]))
        for tag in ("before", "ready", "after"):
            if tag in self.probe:
                p = self.probe[tag]
                lines.append("probe %s: %s" % (tag, " ".join("%s=%d" % kv for kv in p.items())))
        if self.device_rx:
            lines.append("host received %d bytes: %r" % (len(self.device_rx),
                                                         self.device_rx[:120]))
        w = self.window(MARK_BEFORE, (MARK_AFTER,))
        if w is not None:
            w = [e for e in w if e[0] != "ier"]  # mostly the console's
            lines.append("trace (mcr/lcr/params, whole step): %s" % (w[:40],))
        lines += self.other[:20]
        return lines
