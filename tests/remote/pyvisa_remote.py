#!/usr/bin/python3
"""A lab script's session through pyvisa, against the program linked to the
simulator: what the script does must reach the instrument as the window's
own actions would, and nothing else.

usage: pyvisa_remote.py PROGRAM SIMULATOR
"""

import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time

import pyvisa

# Everything the program asks on its own: the start-up query, the poll cycle
# and the reads after a recall.
KNOWN_QUERIES = {"*IDN?", "VSET1?", "VSET2?", "ISET1?", "ISET2?", "VOUT1?", "IOUT1?", "VOUT2?",
                 "IOUT2?", "STATUS?"}


def fail(why):
    print("FAIL: " + why, file=sys.stderr)
    sys.exit(1)


def check(cond, why):
    if not cond:
        fail(why)


class Lines:
    """A child's stdout, read line by line in the background."""

    def __init__(self, stream):
        self.lines = []
        self.cond = threading.Condition()
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for raw in stream:
            with self.cond:
                self.lines.append(raw.decode(errors="replace").rstrip("\n"))
                self.cond.notify_all()

    def wait_for(self, pattern, timeout=30):
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for line in self.lines:
                    m = re.search(pattern, line)
                    if m:
                        return m
                left = deadline - time.monotonic()
                if left <= 0:
                    fail("no line matching %r in %r" % (pattern, self.lines))
                self.cond.wait(left)


def main():
    program, simulator = sys.argv[1], sys.argv[2]
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    env.setdefault("XDG_RUNTIME_DIR", tempfile.mkdtemp())
    sim = subprocess.Popen([simulator, "--model", "A", "--no-link", "--echo"], stdout=subprocess.PIPE)
    sim_out = Lines(sim.stdout)
    pty = sim_out.wait_for(r"^(/dev/\S+)$").group(1)
    # --no-settings: one run must not leave its choices to the next.
    prog = subprocess.Popen([program, "--no-settings", "--port", pty, "--remote", "127.0.0.1:0"], stdout=subprocess.PIPE, env=env)
    try:
        port = int(Lines(prog.stdout).wait_for(r"listening on 127\.0\.0\.1:(\d+)").group(1))
        run(port)
        # Every frame the session caused has reached the instrument by now:
        # the last query was answered after them.
        frames = sim_out.lines[sim_out.lines.index(pty) + 1:]
        check_transcript(frames)
    finally:
        prog.send_signal(signal.SIGTERM)
        try:
            prog.wait(20)
        except subprocess.TimeoutExpired:
            prog.kill()
            fail("the program did not end on SIGTERM")
        sim.terminate()
        sim.wait(10)
    check(prog.returncode == 0, "the program ended with %r" % prog.returncode)
    print("PASS")


def run(port):
    rm = pyvisa.ResourceManager("@py")
    inst = rm.open_resource("TCPIP::127.0.0.1::%d::SOCKET" % port, read_termination="\n",
                            write_termination="\n")
    # A poll cycle takes seconds; a reading with the output on waits for its query.
    inst.timeout = 30000
    q = inst.query

    check(q("*IDN?") == "LQS Control,LQS-6200A,0,11.9.2.1", "identity before the link")
    inst.write("VOLT 5")
    check(q("SYST:ERR?").startswith("-200,"), "a set point before the link is an execution error")
    check(q("SYST:LINK?") == "0", "not linked yet")
    inst.write("SYST:LINK")
    check(q("*OPC?") == "1", "*OPC? after the link")
    check(q("SYST:LINK?") == "1", "linked")
    idn = q("*IDN?").split(",")
    check(idn[:2] == ["LQS Control", "LQS-6200A"] and idn[2] not in ("", "0"), "identity once linked: %r" % idn)

    inst.write("INST CH1;VOLT 5;CURR 1.2")
    inst.write("INST:NSEL 2;VOLT 3.3;CURR 0.7")
    check(q("INST?") == "CH2", "channel 2 selected")
    check(q("VOLT?;CURR?") == "3.300;0.700", "channel 2's set points")
    check(q("INST:NSEL 1;VOLT?;:CURR?") == "5.000;1.200", "channel 1's set points")
    check(q("MEAS:VOLT? (@1)") == "0.000", "output off: no voltage")

    inst.write("OUTP ON")
    check(q("OUTP?") == "1", "output on")
    v1 = float(q("MEAS:VOLT? (@1)"))
    i2 = float(q("MEAS:CURR? (@2)"))
    check(abs(v1 - 5.0) < 0.01, "channel 1 at 5 V: %r" % v1)
    check(abs(i2 - 3.3 / 20) < 0.01, "channel 2's 20 ohm load at 3.3 V: %r" % i2)

    inst.write("VOLT 40")
    check(q("SYST:ERR?").startswith("-222,"), "40 V is out of range")
    check(q("SYST:ERR?") == '0,"No error"', "queue empty")

    inst.write("*SAV 2")
    check(q("*OPC?") == "1", "saved")
    check(q("OUTP?") == "0", "saving switches the output off")
    check(q("MEAS:CURR? (@1)") == "0.000", "a reading after the save")
    inst.write("VOLT 7;*RCL 2")
    check(q("*OPC?") == "1", "recalled")
    check(q("VOLT?") == "5.000", "the recall brings back the saved 5 V")

    inst.write("OUTP:PAIR SER")
    check(q("OUTP:PAIR?") == "SER", "series")
    inst.write("INST CH2;VOLT 2")
    check(q("SYST:ERR?").startswith("-221,"), "channel 2 follows channel 1 in series")
    inst.write("OUTP:PAIR OFF")
    check(q("*OPC?") == "1", "independent again")
    inst.write("*RCL 9")
    check(q("SYST:ERR?").startswith("-222,"), "memory 9 does not exist")
    inst.close()
    rm.close()


def check_transcript(frames):
    queries = [f for f in frames if f.endswith("?")]
    unknown = sorted(set(queries) - KNOWN_QUERIES)
    check(not unknown, "queries the program never asks: %r" % unknown)
    commands = [f for f in frames if not f.endswith("?")]
    # The start-up query ends with the output off; then the window's own
    # commands for each action, in order.
    expected = ["OUT0",
                "VSET1:5.", "ISET1:1.2", "VSET2:3.3", "ISET2:0.7",
                "OUT1",
                "SAV2", "TRACK0", "OUT0",
                "VSET1:7.", "OUT0", "RCL2",
                "TRACK1",
                "TRACK0"]
    check(commands == expected, "commands on the wire:\n  %r\nexpected:\n  %r" % (commands, expected))
    # The reading with the output off was asked once, between the set points and OUT1.
    between = frames[frames.index("ISET2:0.7") + 1:frames.index("OUT1")]
    check(between == ["VOUT1?"], "output off: one query for the reading, got %r" % between)
    between = frames[frames.index("OUT0", frames.index("SAV2")) + 1:frames.index("VSET1:7.")]
    check(between == ["IOUT1?"], "after the save: one query for the reading, got %r" % between)


if __name__ == "__main__":
    main()
