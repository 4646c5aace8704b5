#!/usr/bin/python3
"""Reference of the controller's PID block in float32, read from a trace.

Each line of the trace: the VM time, then the 16 inputs (BOOLs as 0/1, the
sample period in ms, REALs as the hex of their float32 bits), then the seven
outputs the block wrote (REALs as hex bits, BOOLs as 0/1), or '-' when the
block computed nothing. Prints the first disagreement and exits 1, else OK.
"""
import struct
import sys

import numpy as np

DAY = 86400000


def f32(h):
    return np.float32(struct.unpack('<f', struct.pack('<I', int(h, 16)))[0])


def bits(x):
    return '%08x' % struct.unpack('<I', struct.pack('<f', float(x)))[0]


def main(path):
    stamp, held, integral, limited, started = 0, np.float32(0), np.float32(0), False, False
    with open(path) as f:
        for n, line in enumerate(f):
            v = line.split()
            now = int(v[0])
            auto, pv, sp, man, gain, ti, td = v[1] == '1', f32(v[2]), f32(v[3]), f32(v[4]), f32(v[5]), f32(v[6]), f32(v[7])
            period = int(v[8])
            lo, hi = f32(v[9]), f32(v[10])
            with_i, hold, load = v[11] == '1', v[12] == '1', v[13] == '1'
            preset, band, bias = f32(v[14]), f32(v[15]), f32(v[16])
            got = v[17:]
            if not started:
                stamp, started = now, True
            elapsed = (now - stamp + DAY) % DAY
            if elapsed == 0 or elapsed < period:
                want = ['-']
            else:
                stamp = now
                error = np.float32(sp - pv)
                before = held
                if band < 0 or error <= np.float32(held - band) or error >= np.float32(held + band):
                    held = error
                d = np.float32(np.float32(np.float32(error - before) * td) * gain)
                p = np.float32(held * gain)
                if load:
                    integral = preset
                elif not hold and not limited and auto and ti != 0:
                    integral = np.float32(integral + np.float32(np.float32(np.float32(np.float32(elapsed) / np.float32(1000)) * p) / ti))
                i = integral if with_i else np.float32(0)
                out = np.float32(np.float32(np.float32(p + i) + d) if auto else man)
                out = np.float32(out + bias)
                high = low = False
                if lo > out:
                    out, low = lo, True
                elif out > hi:
                    out, high = hi, True
                limited = high or low
                want = [bits(out), bits(held), bits(p), bits(i), bits(d), '1' if high else '0', '1' if low else '0']
            if got != want:
                print('sample %d: got %s, want %s' % (n, got, want))
                return 1
    print('OK')
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1]))
