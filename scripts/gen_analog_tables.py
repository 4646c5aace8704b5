#!/usr/bin/python3
"""Generates io/analog_tables.cpp: the thermocouple and resistance-thermometer
linearisation tables of the analog input modules.

Thermocouples (IEC 60584-1 reference functions, E in microvolts). The
row-4 converter reading x, after gain and cold-junction compensation, is
0x8000 at zero thermoelectric voltage and rises by k counts per microvolt.
k is the scale the cold-junction coefficients imply: the driver adds the
term ((t * y) >> 16) + ((t * t) >> 4) / q for a cold junction of t = 40
counts per degree, which must be k * E(T) of that junction. One converter
constant, fitted to the terms of types J to S over 0-50 degree, gives k for
each type with its converter gain (setting 12 halves it, shift 14 doubles
it); type B, which has no linear term, takes the gain of its setting and
shift. Entry i of a table is the temperature (0.05 degree, plus 5600) of
x = 128 * i, held at the type's end values outside its range.

Resistance thermometer (IEC 60751, Pt100): the 14-bit reading r rises
linearly in resistance from R(-206.2 degree) at 0 to R(856.85 degree) at
16384; entry i is the temperature of r = 64 * i.

The simulated converter (platform/iomodules) and the tests use the same
scales. Run: scripts/gen_analog_tables.py > io/analog_tables.cpp
"""
import math

TYPES = {
    # name: (cjy, end low, end high, [(upper bound, coefficients, exp)])
    'J': (42352, -220, 770, [
        (760, [0, 5.0381187815e1, 3.0475836930e-2, -8.5681065720e-5, 1.3228195295e-7, -1.7052958337e-10,
               2.0948090697e-13, -1.2538395336e-16, 1.5631725697e-20], False),
        (1e9, [2.9645625681e5, -1.4976127786e3, 3.1787103924e0, -3.1847686701e-3, 1.5720819004e-6,
               -3.0691369056e-10], False)]),
    'K': (33204, -280, 1380, [
        (0, [0, 3.9450128025e1, 2.3622373598e-2, -3.2858906784e-4, -4.9904828777e-6, -6.7509059173e-8,
             -5.7410327428e-10, -3.1088872894e-12, -1.0451609365e-14, -1.9889266878e-17, -1.6322697486e-20], False),
        (1e9, [-1.7600413686e1, 3.8921204975e1, 1.8558770032e-2, -9.9457592874e-5, 3.1840945719e-7,
               -5.6072844889e-10, 5.6075059059e-13, -3.2020720003e-16, 9.7151147152e-20, -1.2104721275e-23], True)]),
    'N': (21696, -280, 1310, [
        (0, [0, 2.6159105962e1, 1.0957484228e-2, -9.3841111554e-5, -4.6412039759e-8, -2.6303357716e-9,
             -2.2653438003e-11, -7.6089300791e-14, -9.3419667835e-17], False),
        (1e9, [0, 2.5929394601e1, 1.5710141880e-2, 4.3825627237e-5, -2.5261169794e-7, 6.4311819339e-10,
               -1.0063471519e-12, 9.9745338992e-16, -6.0863245607e-19, 2.0849229339e-22, -3.0682196151e-26], False)]),
    'T': (64822, -280, 410, [
        (0, [0, 3.8748106364e1, 4.4194434347e-2, 1.1844323105e-4, 2.0032973554e-5, 9.0138019559e-7,
             2.2651156593e-8, 3.6071154205e-10, 3.8493939883e-12, 2.8213521925e-14, 1.4251594779e-16,
             4.8768662286e-19, 1.0795539270e-21, 1.3945027062e-24, 7.9795153927e-28], False),
        (1e9, [0, 3.8748106364e1, 3.3292227880e-2, 2.0618243404e-4, -2.1882256846e-6, 1.0996880928e-8,
               -3.0815758772e-11, 4.5479135290e-14, -2.7512901673e-17], False)]),
    'E': (24611, -280, 1010, [
        (0, [0, 5.8665508708e1, 4.5410977124e-2, -7.7998048686e-4, -2.5800160843e-5, -5.9452583057e-7,
             -9.3214058667e-9, -1.0287605534e-10, -8.0370123621e-13, -4.3979497391e-15, -1.6414776355e-17,
             -3.9673619516e-20, -5.5827328721e-23, -3.4657842013e-26], False),
        (1e9, [0, 5.8665508710e1, 4.5032275582e-2, 2.8908407212e-5, -3.3056896652e-7, 6.5024403270e-10,
               -1.9197495504e-13, -1.2536600497e-15, 2.1489217569e-18, -1.4388041782e-21, 3.5960899481e-25], False)]),
    'R': (8921, -10, 1770, [
        (1064.18, [0, 5.28961729765e0, 1.39166589782e-2, -2.38855693017e-5, 3.56916001063e-8, -4.62347666298e-11,
                   5.00777441034e-14, -3.73105886191e-17, 1.57716482367e-20, -2.81038625251e-24], False),
        (1664.5, [2.95157925316e3, -2.52061251332e0, 1.59564501865e-2, -7.64085947576e-6, 2.05305291024e-9,
                  -2.93359668173e-13], False),
        (1e9, [1.52232118209e5, -2.68819888545e2, 1.71280280471e-1, -3.45895706453e-5, -9.34633971046e-12], False)]),
    'S': (9100, -10, 1770, [
        (1064.18, [0, 5.40313308631e0, 1.25934289740e-2, -2.32477968689e-5, 3.22028823036e-8, -3.31465196389e-11,
                   2.55744251786e-14, -1.25068871393e-17, 2.71443176145e-21], False),
        (1664.5, [1.32900444085e3, 3.34509311344e0, 6.54805192818e-3, -1.64856259209e-6, 1.29989605174e-11], False),
        (1e9, [1.46628232636e5, -2.58430516752e2, 1.63693574641e-1, -3.30439046987e-5, -9.43223690612e-12], False)]),
    'B': (0, -10, 1830, [
        (630.615, [0, -2.4650818346e-1, 5.9040421171e-3, -1.3257931636e-6, 1.5668291901e-9, -1.6944529240e-12,
                   6.2290347094e-16], False),
        (1e9, [-3.8938168621e3, 2.8571747470e1, -8.4885104785e-2, 1.5785280164e-4, -1.6835344864e-7,
               1.1109794013e-10, -4.4515431033e-14, 9.8975640821e-18, -9.3791330289e-22], False)]),
}
ORDER = 'JKNTERSB'


def emf(name, t):
    for upper, c, has_exp in TYPES[name][3]:
        if t <= upper:
            e = sum(ci * t ** i for i, ci in enumerate(c))
            if has_exp:
                e += 118.5976 * math.exp(-1.183432e-4 * (t - 126.9686) ** 2)
            return e
    raise ValueError


# Converter gain per type relative to J, K and N (setting 13, shift 15):
# shift 14 doubles the counts, setting 12 halves them.
GAIN = {'J': 1, 'K': 1, 'N': 1, 'T': 2, 'E': 0.5, 'R': 2, 'S': 2, 'B': 2}
CJY = {'J': (42352, 8143), 'K': (33204, 11383), 'N': (21696, 10518), 'T': (64822, 2366), 'E': (24611, 8646),
       'R': (8921, 8038), 'S': (9100, 8906)}


def cj_term(name, t):
    """The driver's cold-junction term at t = 40 counts per degree."""
    y, q = CJY[name]
    return ((t * y) >> 16) + int((t * t >> 4) / q)


def converter_counts():
    """Counts per microvolt at gain 1: the least-squares fit of the
    cold-junction terms of types J to S over 0-50 degree."""
    num = den = 0.0
    for name in CJY:
        for deg in range(51):
            e = GAIN[name] * emf(name, deg)
            num += cj_term(name, 40 * deg) * e
            den += e * e
    return num / den


def scale(name):
    return converter_counts() * GAIN[name]


def invert(f, target, lo, hi):
    for _ in range(200):
        mid = (lo + hi) / 2
        if f(mid) < target:
            lo = mid
        else:
            hi = mid
    return (lo + hi) / 2


def tc_table(name):
    k = scale(name)
    _, lo, hi, _ = TYPES[name]
    # Type B's curve falls below zero up to about 21 degree: its table follows
    # the rising branch only.
    if name == 'B':
        lo_search = invert(lambda t: -(emf('B', t + 0.001) - emf('B', t)), 0, 0, 60)
    else:
        lo_search = lo
    e_lo, e_hi = emf(name, lo_search), emf(name, hi)
    out = []
    for i in range(513):
        e = (128 * i - 32768) / k
        if e <= e_lo:
            t = lo
        elif e >= e_hi:
            t = hi
        else:
            t = invert(lambda x: emf(name, x), e, lo_search, hi)
        out.append(int(round(t * 20)) + 5600)
    return out


def pt100(t):
    a, b, c = 3.9083e-3, -5.775e-7, -4.183e-12
    r = 1 + a * t + b * t * t
    if t < 0:
        r += c * (t - 100) * t ** 3
    return 100.0 * r


RTD_LO, RTD_HI = -206.2, 856.85


def rtd_table():
    r_lo, r_hi = pt100(RTD_LO), pt100(RTD_HI)
    out = []
    for i in range(257):
        r = r_lo + (r_hi - r_lo) * (64 * i) / 16384.0
        t = invert(pt100, r, RTD_LO - 1, RTD_HI + 1)
        t = min(max(t, RTD_LO), RTD_HI)
        out.append(int(round(t * 20)) + 5600)
    return out


def emit(name, values):
    lines = ['const u16 %s[%d] = {' % (name, len(values))]
    for i in range(0, len(values), 12):
        lines.append('    ' + ', '.join('%d' % v for v in values[i:i + 12]) + ',')
    lines.append('};')
    return '\n'.join(lines)


def main():
    print('// Generated by scripts/gen_analog_tables.py; do not edit.')
    print('#include "io/analog_tables.h"')
    print()
    names = []
    for n in ORDER:
        tab = n.lower() + '_tab'
        names.append(tab)
        print('// Type %s: %.6f counts per microvolt.' % (n, scale(n)))
        print(emit(tab, tc_table(n)))
        print()
    print('const u16* const tctbl[8] = {%s};' % ', '.join(names))
    print()
    print(emit('pt100e_tab', rtd_table()))


if __name__ == '__main__':
    main()
