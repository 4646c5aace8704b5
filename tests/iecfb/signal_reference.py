#!/usr/bin/python3
"""Float32 reference of the interpolation, signal, average, integral and
derivative blocks, checked against a trace the test wrote.

Every number in the trace is a token: REALs as the hex of their float32 bits
(LREALs of their float64 bits for 'avgl'), integers in decimal. Line kinds:
  curve x n xs.. ys.. -> y ok err
  surf x y nx ny xs.. ys.. zs.. -> z ok err
  sig t n times.. values.. -> v
  avg stream run n x -> out          (stateful per stream)
  int stream now run r1 x x0 cycle -> q out
  der stream now run x cycle -> out  (the stream starts fresh)
Prints the first disagreement and exits 1, else OK.
"""
import struct
import sys

import numpy as np

F = np.float32
DAY = 86400000


def rf(h):
    return F(struct.unpack('<f', struct.pack('<I', int(h, 16)))[0])


def hf(x):
    return '%08x' % struct.unpack('<I', struct.pack('<f', float(x)))[0]


def lerp(y0, y1, x0, x1, x):
    return F(y0 + F(F(F(y1 - y0) / F(x1 - x0)) * F(x - x0)))


def increasing(a):
    return all(a[k] < a[k + 1] for k in range(len(a) - 1))


def segment(a, x):
    for k in range(len(a) - 1):
        if a[k] <= x <= a[k + 1]:
            return k
    return 0


def curve(v):
    x, n = rf(v[0]), int(v[1])
    xs = [rf(t) for t in v[2:2 + n]]
    ys = [rf(t) for t in v[2 + n:2 + 2 * n]]
    if n <= 1:
        return [hf(0), '0', '1']
    if not increasing(xs):
        return [hf(0), '0', '2']
    if x < xs[0]:
        return [hf(ys[0]), '0', '4']
    if x > xs[-1]:
        return [hf(ys[-1]), '0', '5']
    k = segment(xs, x)
    return [hf(lerp(ys[k], ys[k + 1], xs[k], xs[k + 1], x)), '1', '0']


def surf(v):
    x, y, nx, ny = rf(v[0]), rf(v[1]), int(v[2]), int(v[3])
    p = 4
    xs = [rf(t) for t in v[p:p + nx]]
    p += nx
    ys = [rf(t) for t in v[p:p + ny]]
    p += ny
    zs = [rf(t) for t in v[p:p + nx * ny]]
    if not increasing(xs):
        return [hf(0), '0', '2']
    if not increasing(ys):
        return [hf(0), '0', '3']
    t = min(max(x, xs[0]), xs[-1])
    u = min(max(y, ys[0]), ys[-1])
    if t != x:
        ok, err = '0', '4'
    elif u != y:
        ok, err = '0', '5'
    else:
        ok, err = '1', '0'
    i, j = segment(xs, t), segment(ys, u)
    z = lambda r, c: zs[r * ny + c]
    za = lerp(z(i, j), z(i, j + 1), ys[j], ys[j + 1], u)
    zb = lerp(z(i + 1, j), z(i + 1, j + 1), ys[j], ys[j + 1], u)
    return [hf(lerp(za, zb, xs[i], xs[i + 1], t)), ok, err]


def sig(v):
    t, n = int(v[0]), int(v[1])
    times = [int(a) for a in v[2:2 + n]]
    vals = [rf(a) for a in v[2 + n:2 + 2 * n]]
    if t <= times[0]:
        return [hf(vals[0])]
    k = 0
    while k + 1 < n and times[k + 1] <= t:
        k += 1
    if times[k] == t or k + 1 == n or times[k + 1] <= times[k]:
        return [hf(vals[k])]
    return [hf(F(vals[k] + F(F(F(t - times[k]) * F(vals[k + 1] - vals[k])) / F(times[k + 1] - times[k]))))]


streams = {}


def avg(v):
    sid, run, n, x = v[0], v[1] == '1', int(v[2]), rf(v[3])
    s = streams.setdefault(sid, {'sum': 0.0, 'buf': [F(0)] * 128, 'idx': 0, 'n': 128, 'held': 0})
    out = F(0)
    if not run:
        s.update(n=min(max(n, 0), 128), sum=0.0, idx=0, held=0)
    elif s['n'] != 0:
        if s['held'] >= s['n']:
            s['sum'] -= float(s['buf'][s['idx']])
        s['buf'][s['idx']] = x
        s['sum'] += float(x)
        s['held'] = min(s['held'] + 1, s['n'])
        s['idx'] = 0 if s['idx'] + 1 >= s['n'] else s['idx'] + 1
        out = F(s['sum'] / s['held'])
    return [hf(out)]


def integral(v):
    sid, now, run, r1, x, x0, cycle = v[0], int(v[1]), v[2] == '1', v[3] == '1', rf(v[4]), rf(v[5]), int(v[6])
    s = streams.setdefault(sid, {'stamp': 0, 'i': F(0)})
    if s['stamp'] == 0:
        s['stamp'] = now
    if r1:
        s['i'], s['stamp'] = x0, now
    elif run:
        e = (now - s['stamp'] + DAY) % DAY
        if e > cycle:
            s['stamp'] = now
            s['i'] = F(s['i'] + F(F(e) * x))
    else:
        s['stamp'] = now
    return ['0' if r1 else '1', hf(s['i'])]


def derivate(v):
    sid, now, run, x, cycle = v[0], int(v[1]), v[2] == '1', rf(v[3]), int(v[4])
    if sid not in streams:
        streams[sid] = {'stamp': now, 'x1': x, 'x2': x, 'x3': x, 'out': F(0)}
    s = streams[sid]
    e = (now - s['stamp'] + DAY) % DAY
    if run and e != 0 and e > cycle:
        s['out'] = F(F(F(F(F(3) * F(x - s['x3'])) + s['x1']) - s['x2']) / F(F(10) * F(e)))
        s['x3'], s['x2'], s['x1'], s['stamp'] = s['x2'], s['x1'], x, now
    return [hf(s['out'])]


KINDS = {'curve': curve, 'surf': surf, 'sig': sig, 'avg': avg, 'int': integral, 'der': derivate}


def main(path):
    with open(path) as f:
        for n, line in enumerate(f):
            head, got = line.split('->')
            v = head.split()
            want = KINDS[v[0]](v[1:])
            if got.split() != want:
                print('line %d (%s): got %s, want %s' % (n + 1, v[0], got.split(), want))
                return 1
    print('OK')
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1]))
