#!/usr/bin/python3
"""Expected REAL and LREAL results of the IEC numeric standard functions,
computed with numpy the way the functions are defined: a REAL input widened
to double, the double function applied, the result rounded once to single;
the single-precision ones (SIN, COS, ATAN, SCALELIN's arithmetic) in float32.
numpy's own float32 transcendental functions are no reference (they are not
correctly rounded), so SIN, COS and ATAN are given as the double result
rounded to single, which the caller compares within one unit in the last
place.

Each input line: NAME [@deg] OPERAND...; an operand is f:HEX8 (REAL bits),
d:HEX16 (LREAL bits) or i:DEC (DINT). Each output line: the result's bits in
hex. EXPT is the literal loop of repeated products or quotients. Exits with
status 3 when numpy is missing.
"""
import sys

try:
    import numpy as np
except ImportError:
    sys.stderr.write("numpy is missing (Debian package python3-numpy)\n")
    sys.exit(3)

f32, f64 = np.float32, np.float64
DEG32 = f32(57.29578)
DEG64 = f64(57.29577951308)


def operand(tok):
    kind, val = tok.split(":")
    if kind == "f":
        return np.array([int(val, 16)], dtype=np.uint32).view(np.float32)[0]
    if kind == "d":
        return np.array([int(val, 16)], dtype=np.uint64).view(np.float64)[0]
    return int(val)


def single(x):
    return np.array([x], dtype=np.float64).astype(np.float32)[0]


def deg_out32(r, deg):
    return single(f64(r) * f64(DEG32)) if deg else r


def expt(x, n):
    w = f64(1.0)
    x = f64(x)
    if n > 0:
        for _ in range(n):
            w = w * x
            if w >= 1e307 or w <= -1e307:
                break
        w = f64(1e307) if w > 1e307 else f64(-1e307) if w < -1e307 else w
    elif n < 0:
        if x == 0:
            return single(1e307)
        while w > 1e-307 or w < -1e-307:
            w = w / x
            n += 1
            if n == 0:
                break
        if 0 < w < 1e-307:
            w = f64(1e-307)
        elif -1e-307 < w < 0:
            w = f64(-1e-307)
    return single(w)


def scalelin(x, imin, imax, omin, omax):
    if imin >= imax:
        return x
    if x < imin:
        return omin
    if x > imax:
        return omax
    d = f32(imax - imin)
    t = f32(f32(f32(omin * imax) - f32(omax * imin)) / d)
    return f32(t + f32(f32(f32(omax - omin) * x) / d))


def tan_of(v, repl):
    c = np.cos(v)
    return repl if -1e-307 < c < 1e-307 else np.tan(v)


def compute(name, deg, a):
    x = a[0]
    if name == "ABS":
        return x if x >= 0 else -x
    if name == "SQRT":
        return f32(0) if x <= 0 else single(np.sqrt(f64(x)))
    if name == "LN":
        return f32(-1e37) if x <= 0 else single(np.log(f64(x)))
    if name == "LOG":
        return f32(-1e37) if x <= 0 else single(np.log10(f64(x)))
    if name == "EXP":
        return single(np.exp(f64(x)))
    if name == "TRUNC":
        return single(np.trunc(f64(x)))
    if name == "POW":
        return f32(0) if x == 0 and a[1] == 0 else single(np.power(f64(x), f64(a[1])))
    if name == "MODR":
        return f32(-1) if a[1] <= 0 else single(np.fmod(f64(x), f64(a[1])))
    if name in ("ASIN", "ACOS"):
        fn = np.arcsin if name == "ASIN" else np.arccos
        r = f32(0) if x < -1 or x > 1 else single(fn(f64(x)))
        return deg_out32(r, deg)
    if name == "ATAN":
        return deg_out32(single(np.arctan(f64(x))), deg)
    if name == "ATAN2":
        r = f32(0) if x == 0 and a[1] == 0 else single(np.arctan2(f64(x), f64(a[1])))
        return deg_out32(r, deg)
    if name in ("SIN", "COS"):
        v = f32(x / DEG32) if deg else x
        return single((np.sin if name == "SIN" else np.cos)(f64(v)))
    if name == "TAN":
        v = f64(x) / f64(DEG32) if deg else f64(x)
        return single(tan_of(v, 1e37))
    if name == "SCALELIN":
        return scalelin(*a)
    if name == "EXPT":
        return expt(x, a[1])
    # LREAL forms.
    if name == "ABSL":
        return x if x >= 0 else -x
    if name == "SQRTL":
        return f64(0) if x <= 0 else np.sqrt(x)
    if name == "LNL":
        return f64(-1e307) if x <= 0 else np.log(x)
    if name == "LOGL":
        return f64(-1e307) if x <= 0 else np.log10(x)
    if name == "EXPL":
        return np.exp(x)
    if name == "TRUNCL":
        return np.trunc(x)
    if name == "POWL":
        return f64(0) if x == 0 and a[1] == 0 else np.power(x, a[1])
    if name == "MODLR":
        return f64(-1) if a[1] <= 0 else np.fmod(x, a[1])
    if name in ("SINL", "COSL"):
        v = x / DEG64 if deg else x
        return (np.sin if name == "SINL" else np.cos)(v)
    if name == "TANL":
        return tan_of(x / DEG64 if deg else x, f64(1e307))
    if name in ("ASINL", "ACOSL"):
        fn = np.arcsin if name == "ASINL" else np.arccos
        r = f64(0) if x < -1 or x > 1 else fn(x)
        return r * DEG64 if deg else r
    if name == "ATANL":
        r = np.arctan(x)
        return r * DEG64 if deg else r
    if name == "ATAN2L":
        r = f64(0) if x == 0 and a[1] == 0 else np.arctan2(x, a[1])
        return r * DEG64 if deg else r
    raise SystemExit("unknown function " + name)


def bits(r):
    if isinstance(r, np.float32):
        return "%08x" % int(np.array([r], dtype=np.float32).view(np.uint32)[0])
    return "%016x" % int(np.array([r], dtype=np.float64).view(np.uint64)[0])


def main():
    out = []
    with np.errstate(all="ignore"):
        for line in sys.stdin:
            parts = line.split()
            if not parts:
                continue
            deg = len(parts) > 1 and parts[1] == "@deg"
            ops = [operand(t) for t in parts[(2 if deg else 1):]]
            out.append(bits(compute(parts[0], deg, ops)))
    sys.stdout.write("\n".join(out) + "\n")


main()
