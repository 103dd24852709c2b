#!/usr/bin/python3
"""A lab script through pyvisa that sets a value and reads what it did, one
command after another: each set point reaches the instrument, *OPC? says 1
only once it has, and a reading asked after it measures its effect. Run
against the real program and the simulator at a real line's pace, with the
classic poll cycle or with fast readings.

usage: pyvisa_in_order.py PROGRAM SIMULATOR classic|fast
"""

import os
import signal
import subprocess
import sys
import tempfile

import pyvisa

from pyvisa_remote import Lines, check, fail


def main():
    program, simulator, mode = sys.argv[1], sys.argv[2], sys.argv[3]
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    env.setdefault("XDG_RUNTIME_DIR", tempfile.mkdtemp())
    sim = subprocess.Popen([simulator, "--model", "B", "--no-link", "--echo"],
                           stdout=subprocess.PIPE)
    sim_out = Lines(sim.stdout)
    pty = sim_out.wait_for(r"^(/dev/\S+)$").group(1)
    # --no-settings: one run must not leave its choices to the next.
    args = [program, "--no-settings", "--port", pty, "--remote", "127.0.0.1:0"]
    if mode == "fast":
        args.append("--fast-readings")
    prog = subprocess.Popen(args, stdout=subprocess.PIPE, env=env)
    try:
        port = int(Lines(prog.stdout).wait_for(r"listening on 127\.0\.0\.1:(\d+)").group(1))
        run(port, mode)
        frames = sim_out.lines[sim_out.lines.index(pty) + 1:]
        sent = [f for f in frames if f.startswith("VSET1:")]
        check(sent == ["VSET1:2.", "VSET1:3.", "VSET1:4."] + ramp_frames(mode),
              "every set point on the line, in order: %r" % sent)
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


def ramp(mode):
    # The classic cycle takes a second or two a step: the three above show it.
    return [0.5 * n for n in range(1, 11)] if mode == "fast" else []


def ramp_frames(mode):
    # 0.5 goes out as "0.5", 1.0 as "1." (a whole number keeps its point).
    return ["VSET1:" + ("%.2f" % v).rstrip("0") for v in ramp(mode)]


def run(port, mode):
    rm = pyvisa.ResourceManager("@py")
    inst = rm.open_resource("TCPIP::127.0.0.1::%d::SOCKET" % port, read_termination="\n",
                            write_termination="\n")
    inst.timeout = 20000
    q = inst.query
    inst.write("SYST:LINK")
    check(q("*OPC?") == "1", "linked")
    # Channel 1 into the simulator's 10 ohms, with current to spare: the
    # voltage set is the voltage measured, and the current is a tenth of it.
    inst.write("INST CH1;CURR 3")
    inst.write("OUTP ON")
    check(q("*OPC?") == "1", "output on")
    for volts in (2, 3, 4):
        inst.write("VOLT %d" % volts)
        check(q("*OPC?") == "1", "set point %d done" % volts)
        measured = float(q("MEAS:VOLT?"))
        check(abs(measured - volts) < 0.02, "VOLT %d then MEAS:VOLT? read %r" % (volts, measured))
    watts = float(q("MEAS:POW?"))
    check(abs(watts - 1.6) < 0.03, "4 V into 10 ohms, MEAS:POW? read %r" % watts)
    for volts in ramp(mode):
        inst.write("VOLT %g" % volts)
        amps = float(q("MEAS:CURR?"))
        check(abs(amps - volts / 10) < 0.02,
              "VOLT %g then MEAS:CURR? read %r, not the current the step drives" % (volts, amps))
    check(q("SYST:ERR?") == '0,"No error"', "no error along the way")
    inst.write("*RST")
    check(q("*OPC?;OUTP?;*ESR?") == "1;0;0", "output off by *RST, and no event")
    inst.close()
    rm.close()


if __name__ == "__main__":
    main()
