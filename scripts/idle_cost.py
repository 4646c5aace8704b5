#!/usr/bin/env python3
"""CPU share of an idle controller.

Starts the firmware executable on a fresh root (no program stored, so the
controller stays stopped with nothing to do), waits until its main loop runs,
then measures the processor time it uses over 10 s of idle passes and prints
it as a share of one core.

    scripts/idle_cost.py [executable ...]     (default: build/plcfw)

Several executables are measured one after the other, each on its own root.
"""
import os
import signal
import subprocess
import sys
import tempfile
import time

MEASURE_S = 10.0


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    tick = os.sysconf("SC_CLK_TCK")
    return (int(fields[11]) + int(fields[12])) / tick  # utime, stime


def measure(exe, offset):
    with tempfile.TemporaryDirectory(prefix="idle-root-") as root, \
            tempfile.TemporaryDirectory(prefix="idle-cwd-") as cwd:
        env = dict(os.environ, PLC_ROOT=root, PLC_PORT_OFFSET=str(offset))
        out = open(os.path.join(cwd, "out.txt"), "w+")
        proc = subprocess.Popen([os.path.abspath(exe)], cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                stdout=out, stderr=subprocess.STDOUT)
        try:
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline:
                out.seek(0)
                if "main loop running" in out.read():
                    break
                if proc.poll() is not None:
                    raise RuntimeError(f"{exe} ended with {proc.returncode} before its main loop ran")
                time.sleep(0.05)
            else:
                raise RuntimeError(f"{exe}: main loop not running after 60 s")
            time.sleep(1.0)  # start-up work settles
            c0, t0 = cpu_seconds(proc.pid), time.monotonic()
            time.sleep(MEASURE_S)
            c1, t1 = cpu_seconds(proc.pid), time.monotonic()
            return (c1 - c0) / (t1 - t0)
        finally:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
            out.close()


def main():
    exes = sys.argv[1:] or ["build/plcfw"]
    for i, exe in enumerate(exes):
        share = measure(exe, 21000 + 100 * i + os.getpid() % 50)
        print(f"{exe}: {share * 100:.2f} % of one core over {MEASURE_S:.0f} s idle")
    return 0


if __name__ == "__main__":
    sys.exit(main())
