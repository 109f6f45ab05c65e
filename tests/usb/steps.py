"""The steps of the USB stage: each is one shell line run in the guest, what
the host feeds the FTDI adapter while it runs, and what must hold afterwards.

sercap runs under the probe. On /dev/ttyACM0 the probe plays the device on
the gadget's /dev/ttyGS0; on /dev/ttyUSB0 the host plays it through QEMU's
FTDI model. Either way sercap's first one-second transmission is the device's
cue that capture is running: the line is configured and its signals applied
by then, and the device answers with its data or just Ctrl-Z.
"""

import hashlib
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import qemu_stage  # noqa: E402
from qemu_stage import (DIALOGUE_FEED, DIALOGUE_OPTIONS, after_bytes, dialogue_problems,  # noqa: E402
                        exchanges, text_payload)

CTRL_Z_LF = b"\x1a\n"
FTDI, ACM, GADGET = "/dev/ttyUSB0", "/dev/ttyACM0", "/dev/ttyGS0"

# FTDI vendor requests (bmRequestType 0x40 << 8 | bRequest).
FTDI_MODEM_CTRL, FTDI_SET_DATA = 0x4001, 0x4004
FTDI_BREAK = 0x4000  # in a set-data value
FTDI_RTS_CTS = 0x1  # in a set-flow-control request's index high byte
# CDC-ACM class requests.
ACM_OUT, ACM_LINE_STATE = 0x21, 0x22

# Payloads the gadget sends, packed into the guest's root.
ACM_PAYLOAD = text_payload(96 * 1024, 4)
ACM_UNPLUG_PAYLOAD = text_payload(64 * 1024, 5)
FTDI_PAYLOAD = text_payload(96 * 1024, 6)
FTDI_UNPLUG_PAYLOAD = text_payload(64 * 1024, 7)
UNPLUG_AFTER = 24 * 1024
WAIT_PAYLOAD = text_payload(16 * 1024, 11)
RECONNECT_BEFORE = text_payload(8 * 1024, 9)
RECONNECT_AFTER = text_payload(8 * 1024, 10)

# The guest has no udev: this keeps a by-id link to the FTDI adapter as udev
# would, naming whichever node the adapter has now (a returning adapter may
# come back as ttyUSB1 while the old node is still held), gone while it is away.
BY_ID_FTDI = "/dev/serial/by-id/usb-QEMU_QEMU_USB_SERIAL-if00-port0"
BY_ID_KEEPER = b"""mkdir -p /dev/serial/by-id
link=%s
while :; do
  dev=$(ls /dev/ttyUSB* 2>/dev/null | head -n 1)
  if [ -z "$dev" ]; then
    rm -f "$link"
  elif [ "$(readlink "$link")" != "$dev" ]; then
    ln -sfn "$dev" "$link"
  fi
  sleep 0.05
done
""" % BY_ID_FTDI.encode()

FILES = {"payload/acm": ACM_PAYLOAD + CTRL_Z_LF, "payload/acm-unplug": ACM_UNPLUG_PAYLOAD,
         "payload/z": CTRL_Z_LF, "by-id-keeper": BY_ID_KEEPER}


class Step(qemu_stage.Step):
    """plugged: whether the FTDI adapter is plugged in when the step starts."""

    def __init__(self, name, command, check, feed=None, seconds=40, plugged=True):
        super().__init__(name, command, check, feed, seconds)
        self.plugged = plugged


def wait_for(path, present=True):
    """Shell: wait up to 20 s for a device node to come (after a replug) or go."""
    return "for i in $(seq 200); do [ %s -e %s ] && break; sleep 0.1; done" % (
        "" if present else "!", path)


def sercap(args, probe="", limit=20, capture=None, digest=False, mon=False, received=False,
           ftdi=True):
    """The guest line: the probe runs sercap with args, then everything comes back.

    It first waits for the adapters' nodes to be there, or with ftdi=False
    for the FTDI adapter's to be gone."""
    cmd = "/probe run -T %d -o /tmp/out %s -- /sercap %s; echo @@rc $?; echo @@out; " \
          "/probe hex /tmp/out" % (limit, probe, args)
    if mon:
        # Every URB of every bus; only the control requests are kept.
        cmd = ("cat /sys/kernel/debug/usb/usbmon/0u > /tmp/mon & M=$!; sleep 0.2; %s; sleep 0.2; "
               "kill $M; echo @@mon; cat /tmp/mon" % cmd)
    if received:
        cmd = "rm -f /tmp/rx; %s; echo @@rx; /probe hex /tmp/rx" % cmd
    if capture is not None:
        cmd = "rm -f %s; %s" % (capture, cmd)
        if digest:
            cmd += "; echo @@md5 $(md5sum < %s); echo @@size $(wc -c < %s)" % (capture, capture)
        else:
            cmd += "; echo @@file; /probe hex %s" % capture
    return "%s; %s; %s" % (wait_for(FTDI, ftdi), wait_for(ACM), cmd)


def gadget(payload="/payload/z", *more):
    """Probe options: play the device on the gadget's end, sending payload on the cue."""
    return " ".join(("-g %s -p %s" % (GADGET, payload),) + more)


def after_cue(*parts):
    """An FTDI feed: once sercap's first transmission reached the host, send
    parts; the FTDI model's requests until then are the setup's."""
    state = {"sent": False}

    def feed(guest):
        if not state["sent"] and guest.device_rx:
            state["sent"] = True
            guest.mark_ready()
            for part in parts:
                guest.send_device(part)

    return feed


def unplug_after(count, payload):
    """An FTDI feed: on the cue, send payload, and unplug the adapter once
    count bytes of it have left the host."""
    state = {"sent": False, "unplugged": False}

    def feed(guest):
        if not state["sent"] and guest.device_rx:
            state["sent"] = True
            guest.send_device(payload)
        elif state["sent"] and not state["unplugged"] and \
                len(payload) - len(guest.ftdi.tx) >= count:
            state["unplugged"] = True
            guest.unplug()

    return feed


def with_by_id_link(cmd, present=True):
    """Shell: runs cmd while the guest keeps the by-id link, waiting first for
    the link to be there (or, with present=False, gone)."""
    return "sh /by-id-keeper & K=$!; %s; %s; kill $K" % (wait_for(BY_ID_FTDI, present), cmd)


def plug_later(seconds, *parts):
    """An FTDI feed for a step that starts unplugged: plug the adapter in
    after seconds; once sercap's first transmission arrives, send parts."""
    state = {"start": None, "plugged": False, "sent": False}

    def feed(guest):
        now = time.monotonic()
        if state["start"] is None:
            state["start"] = now
        if not state["plugged"] and now - state["start"] >= seconds:
            state["plugged"] = True
            guest.plug()
        if state["plugged"] and not state["sent"] and guest.device_rx:
            state["sent"] = True
            for part in parts:
                guest.send_device(part)

    return feed


def replug_between(before, after):
    """An FTDI feed: on the cue send before; once it has left the host and had
    time to arrive, unplug the adapter, plug it in again 2 s later, and once
    sercap transmits again (it is back), send after and Ctrl-Z."""
    state = {"phase": "cue", "at": 0.0, "seen": 0}

    def feed(guest):
        now = time.monotonic()
        phase = state["phase"]
        if phase == "cue" and guest.device_rx:
            guest.send_device(before)
            state.update(phase="sending", at=now)
        elif phase == "sending" and not guest.ftdi.tx and now - state["at"] >= 1.5:
            guest.unplug()
            state.update(phase="away", at=now, seen=len(guest.device_rx))
        elif phase == "away" and now - state["at"] >= 2:
            guest.plug()
            state.update(phase="back")
        elif phase == "back" and len(guest.device_rx) > state["seen"]:
            guest.send_device(after + CTRL_Z_LF)
            state.update(phase="done")

    return feed


class Checks(qemu_stage.Checks):
    """The USB stage's checks: the capture file's size and digest."""

    def stored(self, payload):
        want = payload.replace(b"\n", b"\r\n")
        self.expect(self.r.size == len(want) and self.r.md5 == hashlib.md5(want).hexdigest(),
                    "capture file %s bytes md5 %s, expected %d bytes md5 %s" %
                    (self.r.size, self.r.md5, len(want), hashlib.md5(want).hexdigest()))


def capture_step(name, port, options, payload, probe="", feed=None):
    def check(r):
        c = Checks(r)
        c.status(0)
        c.stored(payload)
        return c.problems

    return Step(name, sercap("%s %s -tx . -ntx 1 -t 10 -f /tmp/cap.spt" % (port, options),
                             probe=probe, limit=60, capture="/tmp/cap.spt", digest=True),
                check, feed=feed, seconds=90)


def check_ftdi_rate(rate):
    def check(r):
        c = Checks(r)
        c.status(0)
        bauds = r.ftdi_bauds(r.ftdi_ready)
        # The model's rate is what the adapter's divisor gives: close, not equal.
        c.expect(bauds and abs(bauds[-1] - rate) <= rate // 50,
                 "the FTDI model was set to %s, expected about %d last" % (bauds, rate))
        return c.problems

    return check


def check_refused_rate(r):
    c = Checks(r)
    c.status(8)
    c.expect(b"\n>>>SetCommState error : 22\n" in r.output,
             "no '>>>SetCommState error : 22' in the output")
    c.expect(r.device_rx == b"", "sercap transmitted on a line it should have refused")
    return c.problems


def check_ftdi_frame(parity, stop):
    def check(r):
        c = Checks(r)
        c.status(0)
        data = [v for q, v in r.ftdi_requests(r.ftdi_ready) if q == FTDI_SET_DATA]
        # The set-data value: data bits, then parity (0 none, 1 odd, 2 even)
        # from bit 8, stop bits (0 one, 2 two) from bit 11.
        want = 8 | parity << 8 | stop << 11
        c.expect(data and data[-1] == want, "the FTDI model's data settings were %s, expected "
                 "0x%x last" % (["0x%x" % v for v in data], want))
        return c.problems

    return check


def check_acm_coding(rate, stop, parity):
    def check(r):
        c = Checks(r)
        c.status(0)
        codings = r.line_codings()
        want = (rate, stop, parity, 8)
        c.expect(codings and codings[-1] == want, "the gadget's line codings were %s, expected "
                 "%s last" % (codings, want))
        return c.problems

    return check


def ftdi_lines(requests, dtr=1, rts=1):
    """DTR and RTS after the FTDI modem-control requests, from the given state."""
    for request, value in requests:
        if request == FTDI_MODEM_CTRL:
            if value & 0x100:
                dtr = value & 1
            if value & 0x200:
                rts = (value >> 1) & 1
    return dtr, rts


def acm_lines(requests, dtr=0, rts=0):
    for kind, request, value in requests:
        if kind == ACM_OUT and request == ACM_LINE_STATE:
            dtr, rts = value & 1, (value >> 1) & 1
    return dtr, rts


def check_ftdi_flow(dtr, rts, handshake):
    def check(r):
        c = Checks(r)
        c.status(0)
        requests = r.ftdi_requests(r.ftdi_ready)
        got = ftdi_lines(requests)
        c.expect(got == (dtr, rts), "the FTDI model's DTR, RTS ended as %s, expected %s" %
                 (got, (dtr, rts)))
        flows = r.ftdi_flows(r.ftdi_ready)
        c.expect(flows and flows[-1] == handshake, "the FTDI model's flow control was set to %s, "
                 "expected %d last" % (flows, handshake))
        return c.problems

    return check


def check_acm_flow(dtr, rts):
    def check(r):
        c = Checks(r)
        c.status(0)
        got = acm_lines(r.gadget_requests())
        c.expect(got == (dtr, rts), "the gadget's DTR, RTS ended as %s, expected %s" %
                 (got, (dtr, rts)))
        return c.problems

    return check


SIGNALS = "CLRDTR,CLRRTS,SETBREAK,CLRBREAK,SETDTR,SETRTS"


def check_ftdi_signals(r):
    c = Checks(r)
    c.status(0)
    want = "".join("#* Set Signal %s\n" % s for s in SIGNALS.split(","))
    c.expect(want.encode() in r.output, "the signal report lines differ")
    seen, dtr, rts, brk = [], 1, 1, 0
    for request, value in r.ftdi_requests(r.ftdi_ready):
        if request == FTDI_MODEM_CTRL:
            new = ftdi_lines([(request, value)], dtr, rts)
            for name, old, now in (("DTR", dtr, new[0]), ("RTS", rts, new[1])):
                if old != now:
                    seen.append(name + ("+" if now else "-"))
            dtr, rts = new
        elif request == FTDI_SET_DATA:
            now = 1 if value & FTDI_BREAK else 0
            if now != brk:
                seen.append("BRK+" if now else "BRK-")
            brk = now
    expected = ["DTR-", "RTS-", "BRK+", "BRK-", "DTR+", "RTS+"]
    c.expect(seen[-6:] == expected, "the FTDI model saw %s, expected %s at the end" %
             (seen, expected))
    return c.problems


def check_acm_signals(r):
    c = Checks(r)
    c.status(0)
    # The gadget has no break: its driver refuses the request.
    c.expect(b"#* Set Signal CLRDTR\n#* Set Signal CLRRTS\n#!!Set Signal SETBREAK failed "
             in r.output, "the signal report lines differ")
    c.expect(b"#* Set Signal SETDTR\n#* Set Signal SETRTS\n" in r.output,
             "the signal report lines differ")
    states = [value & 3 for kind, request, value in r.gadget_requests()
              if kind == ACM_OUT and request == ACM_LINE_STATE]
    c.expect(states[-4:] == [2, 0, 1, 3], "the gadget saw DTR|RTS states %s, expected "
             "[2, 0, 1, 3] at the end" % states)
    return c.problems


def transmission_step(name, port, text_cmd, text, count, extra=""):
    """sercap sends text count times; the device ends the run once it has them all."""
    want = text * count

    def check(r):
        c = Checks(r)
        c.status(0)
        got = r.device_rx if port == FTDI else r.gadget_rx
        c.expect(got == want, "the device received %d bytes (%r...), expected %d" %
                 (len(got or b""), (got or b"")[:40], len(want)))
        return c.problems

    args = '%s -tx "%s" -ntx %d %s -t 10 -f /tmp/tx.spt' % (port, text_cmd, count, extra)
    if port == FTDI:
        return Step(name, sercap(args, limit=30), check,
                    feed=after_bytes(len(want), CTRL_Z_LF))
    return Step(name, sercap(args, probe=gadget("/payload/z", "-n %d" % len(want),
                                                "-r /tmp/rx"), limit=30, received=True),
                check)


def check_listing(r):
    c = Checks(r)
    c.status(0)
    c.expect(r.output.endswith(b"available COM ports are: COM1\n \nCOM2\n \n"),
             "the listing is %r" % r.output[-80:])
    ftdi = r.ftdi_requests(r.ftdi_ready + r.ftdi_rest)
    c.expect(ftdi == [], "the listing sent the FTDI adapter %s" % ftdi)
    acm = r.gadget_requests(False)
    c.expect(acm == [], "the listing sent the gadget %s" % acm)
    return c.problems


def unplug_after_bytes(count):
    """An FTDI feed: unplug the adapter once the host has received count bytes."""
    def feed(guest):
        if len(guest.device_rx) >= count:
            guest.unplug()

    return feed


def check_unplug_tx(r):
    c = Checks(r)
    c.status(32)
    took = r.probe.get("end after vanish")
    c.expect(took is not None and took < 1000, "sercap ended %s ms after the port vanished" % took)
    return c.problems


def check_missing(r):
    c = Checks(r)
    c.status(1)
    c.expect(b"\n>>>open com %s error : 2\n" % FTDI.encode() in r.output,
             "no '>>>open com %s error : 2' in the output" % FTDI)
    return c.problems


def check_waited(r):
    c = Checks(r)
    c.status(0)
    c.stored(WAIT_PAYLOAD)
    c.expect(b"\n>>>waiting for port %s\n" % BY_ID_FTDI.encode() in r.output,
             "no '>>>waiting for port' line in the output")
    return c.problems


def check_reconnected(r):
    c = Checks(r)
    c.status(0)
    # Nothing inserted: the lines from before the unplug, then those after.
    c.stored(RECONNECT_BEFORE + RECONNECT_AFTER)
    port = BY_ID_FTDI.encode()
    c.expect(b"\n>>>port %s lost, error : " % port in r.output and
             b"\n>>>port %s back\n" % port in r.output,
             "no '>>>port ... lost' and '>>>port ... back' lines in the output")
    return c.problems


def check_unplug(payload, settled=False):
    """The run ends promptly with 32, the file a prefix of what was sent; when
    the line settled before the unplug, every line sent is in it."""
    stored = payload.replace(b"\n", b"\r\n")
    sent = payload[:UNPLUG_AFTER]
    whole = sent[:sent.rfind(b"\n") + 1].replace(b"\n", b"\r\n")

    def check(r):
        c = Checks(r)
        c.status(32)
        # The device node goes a moment after the driver hangs the line up.
        took = r.probe.get("end after vanish")
        c.expect(took is not None and took < 1000, "sercap ended %s ms after the port vanished" %
                 took)
        f = r.file or b""
        c.expect(0 < len(f) and stored.startswith(f),
                 "the capture file (%d bytes) is not a prefix of what was sent" % len(f))
        if settled:
            c.expect(len(f) >= len(whole), "the capture file holds %d bytes of the %d sent "
                     "in whole lines" % (len(f), len(whole)))
        return c.problems

    return check


def all_steps():
    big = "$(seq 10000 10999 | tr -d '\\n')"
    big_text = "".join(str(n) for n in range(10000, 11000)).encode()
    steps = [
        Step("port listing: both adapters, no request sent to them",
             sercap("", limit=10, mon=True), check_listing),
        capture_step("capture 96 KiB through ttyUSB0", FTDI, "-r 921600", FTDI_PAYLOAD,
                     feed=after_cue(FTDI_PAYLOAD, CTRL_Z_LF)),
        capture_step("capture 96 KiB through ttyACM0", ACM, "-r 115200", ACM_PAYLOAD,
                     probe=gadget("/payload/acm")),
    ]
    for rate in (115200, 921600, 3000000):
        steps.append(Step("ttyUSB0 rate %d" % rate,
                          sercap("%s -r %d -tx . -ntx 1" % (FTDI, rate)),
                          check_ftdi_rate(rate), feed=after_cue(CTRL_Z_LF)))
    # Parity and stop bits: 0/1/2 none/odd/even; stop 0 one, 2 two (1 and a half
    # is never asked for).
    for options, rate, parity, stop in (("-r 3000000", 3000000, 0, 0),
                                        ("-r 921600 -pe -s 2", 921600, 2, 2),
                                        ("-r 115200 -po", 115200, 1, 0)):
        steps.append(Step("ttyUSB0 %s frame" % options,
                          sercap("%s %s -tx . -ntx 1" % (FTDI, options)),
                          check_ftdi_frame(parity, stop), feed=after_cue(CTRL_Z_LF)))
        steps.append(Step("ttyACM0 %s as the gadget sees it" % options,
                          sercap("%s %s -tx . -ntx 1" % (ACM, options), probe=gadget(), mon=True),
                          check_acm_coding(rate, stop, parity)))
    steps.append(Step("ttyUSB0 rate 4000000 refused", sercap("%s -r 4000000 -tx . -ntx 1" % FTDI),
                      check_refused_rate))
    for flow, dtr, rts, handshake in ((0, 0, 0, 0), (1, 1, 1, 0), (2, 1, 1, FTDI_RTS_CTS)):
        steps.append(Step("ttyUSB0 -flowctrl %d" % flow,
                          sercap("%s -flowctrl %d -tx . -ntx 1" % (FTDI, flow)),
                          check_ftdi_flow(dtr, rts, handshake),
                          feed=after_cue(CTRL_Z_LF)))
        steps.append(Step("ttyACM0 -flowctrl %d" % flow,
                          sercap("%s -flowctrl %d -tx . -ntx 1" % (ACM, flow), probe=gadget(),
                                 mon=True),
                          check_acm_flow(dtr, rts)))
    steps += [
        Step("ttyUSB0 -setsignal", sercap("%s -setsignal %s -tx . -ntx 1" % (FTDI, SIGNALS)),
             check_ftdi_signals, feed=after_cue(CTRL_Z_LF)),
        Step("ttyACM0 -setsignal", sercap("%s -setsignal %s -tx . -ntx 1" % (ACM, SIGNALS),
                                          probe=gadget(), mon=True),
             check_acm_signals),
        Step("ttyUSB0 board dialogue: a prompt without a line feed answered, the login "
             "prompt ends it",
             sercap("%s %s -f /tmp/board.spt" % (FTDI, DIALOGUE_OPTIONS),
                    capture="/tmp/board.spt") + "; echo @@summary; cat /tmp/board.json",
             dialogue_problems, feed=exchanges(*DIALOGUE_FEED)),
        transmission_step("ttyUSB0 transmissions: 5000 bytes twice", FTDI, big, big_text, 2),
        transmission_step("ttyACM0 transmissions: 5000 bytes twice", ACM, big, big_text, 2),
        transmission_step("ttyACM0 transmissions: 3 times, -nov", ACM, "hello", b"hello", 3,
                          "-nov"),
        transmission_step("ttyUSB0 transmissions: 5000 bytes twice, -nov", FTDI, big, big_text, 2,
                          "-nov"),
        Step("ttyUSB0 not plugged in: status 1, error 2",
             sercap("%s -tx . -ntx 1" % FTDI, ftdi=False), check_missing, plugged=False),
        Step("--wait: sercap started before the adapter is plugged in",
             with_by_id_link(sercap("%s --wait 30 -tx . -ntx 1 -t 10 -f /tmp/wait.spt" %
                                    BY_ID_FTDI, capture="/tmp/wait.spt", digest=True, limit=40,
                                    ftdi=False), present=False),
             check_waited, feed=plug_later(2, WAIT_PAYLOAD, CTRL_Z_LF), plugged=False,
             seconds=60),
        Step("--reconnect: across an unplug and a replug, ended by the device's Ctrl-Z",
             with_by_id_link(sercap("%s --reconnect -tx . -ntx -1 -t 20 -f /tmp/back.spt" %
                                    BY_ID_FTDI, capture="/tmp/back.spt", digest=True, limit=40)),
             check_reconnected, feed=replug_between(RECONNECT_BEFORE, RECONNECT_AFTER),
             seconds=60),
        Step("ttyACM0 unplugged mid-capture",
             sercap("%s -t -1 -tx . -ntx 1 -f /tmp/unplug.spt" % ACM, capture="/tmp/unplug.spt",
                    probe=gadget("/payload/acm-unplug", "-u %d -U -w %s" % (UNPLUG_AFTER, ACM))),
             check_unplug(ACM_UNPLUG_PAYLOAD)),
        Step("ttyACM0 unplugged after its last line",
             sercap("%s -t -1 -tx . -ntx 1 -f /tmp/unplug.spt" % ACM, capture="/tmp/unplug.spt",
                    probe=gadget("/payload/acm-unplug",
                                 "-u %d -S 1 -U -w %s" % (UNPLUG_AFTER, ACM))),
             check_unplug(ACM_UNPLUG_PAYLOAD, settled=True)),
        Step("ttyUSB0 unplugged while transmitting",
             sercap('%s -t -1 -tx "%s" -ntx -1 -nov -f /tmp/unplug.spt' % (FTDI, big),
                    probe="-w %s" % FTDI),
             check_unplug_tx, feed=unplug_after_bytes(6000)),
        Step("ttyUSB0 unplugged mid-capture",
             sercap("%s -t -1 -tx . -ntx 1 -f /tmp/unplug.spt" % FTDI, capture="/tmp/unplug.spt",
                    probe="-w %s" % FTDI),
             check_unplug(FTDI_UNPLUG_PAYLOAD),
             feed=unplug_after(UNPLUG_AFTER, FTDI_UNPLUG_PAYLOAD)),
    ]
    return steps
