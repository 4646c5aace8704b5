#!/usr/bin/python3
"""Expected REAL results for the ladder instruction tests, computed with numpy.

Reads lines "NAME HEX [HEX]" (operands as IEEE-754 single-precision bit
patterns, second before top) and prints one line per input: the bit pattern
of the result as the instruction computes it. Arithmetic and the square root
are done in single precision (IEEE-754 defines them exactly); the functions
the instruction computes in double precision are done in double and rounded
to single. The single-precision transcendental functions are taken as the
correctly rounded value, the double-precision result rounded to single:
numpy's own single-precision versions are faster but up to an ulp or more
off (log10(1000) is not 3 there), so they are no reference. Exits with
status 3 when numpy is missing.
"""
import sys

try:
    import numpy as np
except ImportError:
    sys.stderr.write("numpy is missing (Debian package python3-numpy)\n")
    sys.exit(3)

f32 = np.float32
f64 = np.float64


def real(h):
    return np.array([int(h, 16)], dtype=np.uint32).view(np.float32)[0]


def bits(x):
    return int(np.array([x], dtype=np.float32).view(np.uint32)[0])


def single(x):
    """A double-precision result rounded to single (overflow gives infinity)."""
    return np.array([x], dtype=np.float64).astype(np.float32)[0]


# Single precision throughout.
SINGLE1 = {
    "ABSR": np.abs,
    "SQRTR": np.sqrt,
}
SINGLE2 = {
    "ADDR": lambda s, t: s + t,
    "SUBR": lambda s, t: s - t,
    "MULR": lambda s, t: s * t,
    "DIVR": lambda s, t: s / t,
}
# Double precision, rounded to single at the end.
DOUBLE1 = {
    "DEG2RAD": lambda x: x * 6.2831853 / 360.0,
    "RAD2DEG": lambda x: x * 360.0 / 6.2831853,
    "EXPR": np.exp,
}
# Single-precision functions: the correctly rounded value.
ROUNDED1 = {
    "LOGR": np.log10,
    "LNR": np.log,
    "SINR": np.sin,
    "COSR": np.cos,
    "TANR": np.tan,
    "ASINR": np.arcsin,
    "ACOSR": np.arccos,
    "ATANR": np.arctan,
}
DOUBLE2 = {
    "MODR": np.fmod,
    "POWR": np.power,
}


def compute(name, ops):
    if name in SINGLE1:
        return SINGLE1[name](f32(ops[0]))
    if name in SINGLE2:
        return SINGLE2[name](f32(ops[0]), f32(ops[1]))
    if name in DOUBLE1:
        return single(DOUBLE1[name](f64(ops[0])))
    if name in ROUNDED1:
        return single(ROUNDED1[name](f64(ops[0])))
    if name in DOUBLE2:
        return single(DOUBLE2[name](f64(ops[0]), f64(ops[1])))
    raise SystemExit("unknown instruction " + name)


def main():
    out = []
    with np.errstate(all="ignore"):
        for line in sys.stdin:
            parts = line.split()
            if not parts:
                continue
            ops = [real(h) for h in parts[1:]]
            out.append("%08x" % bits(compute(parts[0], ops)))
    sys.stdout.write("\n".join(out) + "\n")


main()
