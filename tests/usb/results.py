"""What one guest step of the USB stage gave back, taken apart: sercap's exit
status and output, the probe's report, the capture file, what each device
received, and the control requests the adapters got (QEMU's trace for the
FTDI adapter, usbmon in the guest for the gadget).
"""

import re

_STATUS = re.compile(r"^@@rc (\d+)$")
_PROBE = re.compile(r"^probe ([a-z ]+): (-?\d+)")
# QEMU's FTDI model: "usb_serial_handle_control dev 0:0 got control 0x4001, value 0x303"
_FTDI = re.compile(r"usb_serial_handle_control .* got control 0x([0-9a-f]+), value 0x([0-9a-f]+)")
_FTDI_BAUD = re.compile(r"usb_serial_set_baud .*baud rate (\d+)")
_FTDI_FLOW = re.compile(r"usb_serial_set_flow_control .*flow control (\d+)")
# usbmon's text lines; a control submission:
# "ffff... 123 S Co:3:002:0 s 21 22 0003 0000 0000 0"
_MON = re.compile(r"^\S+ \d+ S C[io]:(\d+):(\d+):0 s ([0-9a-f]{2}) ([0-9a-f]{2}) ([0-9a-f]{4}) "
                  r"([0-9a-f]{4}) ([0-9a-f]{4})")
_MON_BULK_OUT = re.compile(r"^\S+ \d+ S Bo:(\d+):(\d+):\d+ ")

SECTIONS = ("out", "file", "rx", "mon")


class Result:
    def __init__(self, text, shell_status, ftdi_ready, ftdi_rest, device_rx):
        self.text = text
        self.shell_status = shell_status
        self.device_rx = device_rx  # what the host received as the FTDI's device
        # The FTDI model's control requests up to sercap's first transmission
        # (the host's cue), and after it.
        self.ftdi_ready = ftdi_ready
        self.ftdi_rest = ftdi_rest
        self.status = None
        self.hex = {s: None for s in SECTIONS if s != "mon"}
        self.mon = []
        self.md5 = None
        self.size = None
        self.probe = {}
        self.other = []
        section = None
        for line in text.splitlines():
            m = _STATUS.match(line)
            if m:
                self.status = int(m.group(1))
            elif line.startswith("@@") and line[2:] in SECTIONS:
                section = line[2:]
                if section != "mon":
                    self.hex[section] = b""
            elif line.startswith("@@md5 "):
                self.md5 = line.split()[1]
            elif line.startswith("@@size "):
                self.size = int(line.split()[1])
            elif line.startswith("hex: ") and section in self.hex:
                self.hex[section] += bytes.fromhex(line[5:])
            elif section == "mon" and (_MON.match(line) or _MON_BULK_OUT.match(line)):
                self.mon.append(line)
            elif _PROBE.match(line):
                m = _PROBE.match(line)
                self.probe[m.group(1)] = int(m.group(2))
            elif line.strip():
                self.other.append(line)
        self.output = self.hex["out"] or b""
        self.file = self.hex["file"]
        self.gadget_rx = self.hex["rx"]

    def ftdi_requests(self, lines):
        """(request, value) of each control request in QEMU trace lines; the
        request is bmRequestType << 8 | bRequest (0x4001: set modem control)."""
        out = []
        for line in lines:
            m = _FTDI.search(line)
            if m:
                out.append((int(m.group(1), 16), int(m.group(2), 16)))
        return out

    def ftdi_bauds(self, lines):
        return [int(m.group(1)) for m in map(_FTDI_BAUD.search, lines) if m]

    def ftdi_flows(self, lines):
        """The FTDI model's flow-control settings (1: RTS/CTS handshake)."""
        return [int(m.group(1)) for m in map(_FTDI_FLOW.search, lines) if m]

    def gadget_requests(self, until_data=True):
        """(bmRequestType, bRequest, wValue) of the control requests sent to
        devices (not root hubs) that usbmon saw, up to the first bulk data
        sent to a device when until_data (sercap's first transmission)."""
        out = []
        for line in self.mon:
            if _MON_BULK_OUT.match(line):
                if until_data:
                    break
                continue
            m = _MON.match(line)
            if m and int(m.group(2)) != 1:
                out.append((int(m.group(3), 16), int(m.group(4), 16), int(m.group(5), 16)))
        return out

    def line_codings(self):
        """(rate, stop bits format, parity, data bits) of each CDC set-line-coding
        request usbmon saw up to sercap's first transmission."""
        out = []
        for line in self.mon:
            if _MON_BULK_OUT.match(line):
                break
            m = _MON.match(line)
            if m and m.group(3) == "21" and m.group(4) == "20" and " = " in line:
                data = bytes.fromhex(line.split(" = ", 1)[1].replace(" ", ""))
                if len(data) == 7:
                    out.append((int.from_bytes(data[:4], "little"), data[4], data[5], data[6]))
        return out

    def summary(self):
        """What to show when a step fails."""
        lines = ["sercap status: %s" % self.status, "sercap output: %r" % self.output[:400]]
        if self.md5 is not None:
            lines.append("capture file: %s bytes, md5 %s" % (self.size, self.md5))
        if self.file is not None:
            lines.append("capture file (%d bytes): %r" % (len(self.file), self.file[:200]))
        if self.probe:
            lines.append("probe: %s" % self.probe)
        if self.device_rx:
            lines.append("FTDI device received %d bytes: %r" % (len(self.device_rx),
                                                                self.device_rx[:120]))
        if self.gadget_rx:
            lines.append("gadget received %d bytes: %r" % (len(self.gadget_rx),
                                                           self.gadget_rx[:120]))
        if self.ftdi_ready or self.ftdi_rest:
            lines.append("FTDI requests until ready: %s" %
                         ["%04x=%04x" % r for r in self.ftdi_requests(self.ftdi_ready)])
            lines.append("FTDI requests after: %s" %
                         ["%04x=%04x" % r for r in self.ftdi_requests(self.ftdi_rest)])
        if self.mon:
            lines.append("gadget requests: %s" %
                         ["%02x %02x %04x" % r for r in self.gadget_requests(False)])
        lines += self.other[:20]
        return lines
