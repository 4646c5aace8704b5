#!/usr/bin/env python3
"""Reference texts for the number-to-text tests.

C's printf applied to a u16 (kind 0), an i32 (kind 1) or a REAL widened to a
double (kind 2), worked out independently with Python's %-formatting and the
C rules Python does not share (integer types and their length modifiers,
the 0 flag ignored with a precision, the alternate forms of %o and of a
zero %x).

Usage: num2str_ref.py CASES. Each line of CASES: kind, the value's bits in
hex, the format's bytes in hex, separated by tabs. Each output line: the
formatted text's bytes in hex.
"""
import re
import struct
import sys

CONVERSION = re.compile(r"%([-+ #0]*)(\d*)(\.\d*)?([hl]?)([diuxXoceEfFgG%])")


def c_printf(kind, bits, fmt):
    conversions = [m for m in CONVERSION.finditer(fmt) if m.group(5) != "%"]
    if len(conversions) > 1:
        raise ValueError("more than one conversion: " + fmt)
    if not conversions:
        return fmt % ()
    m = conversions[0]
    flags, width, prec, length, conv = m.groups()
    prec = prec or ""

    if kind == 2:
        value = struct.unpack("<f", struct.pack("<I", bits))[0]
    else:
        raw = bits & (0xFFFF if kind == 0 else 0xFFFFFFFF)
        signed = raw if kind == 0 else (raw - (1 << 32) if raw >= 1 << 31 else raw)
        if conv in "di":
            value = ((signed + 0x8000) & 0xFFFF) - 0x8000 if length == "h" else signed
        elif conv == "c":
            value = chr(signed & 0xFF)
        else:
            value = raw & 0xFFFF if length == "h" else raw
        if conv in "diuxXo" and prec:
            flags = flags.replace("0", "")  # C ignores the 0 flag when a precision is given
            if value == 0 and int(prec[1:] or "0") == 0:
                # C writes no digit for zero at precision 0 (but the forced 0 of %#o).
                text = ("+" if "+" in flags else " " if " " in flags else "") if conv in "di" else ""
                text += "0" if conv == "o" and "#" in flags else ""
                field = int(width or "0")
                text = text.ljust(field) if "-" in flags else text.rjust(field)
                return fmt[: m.start()].replace("%%", "%") + text + fmt[m.end():].replace("%%", "%")
        if conv in "xX" and "#" in flags and value == 0:
            flags = flags.replace("#", "")  # C writes no 0x for zero
        if conv == "o" and "#" in flags:
            # C forces a leading zero digit through the precision.
            flags = flags.replace("#", "")
            digits = "%o" % value
            need = len(digits) + (0 if digits.startswith("0") else 1)
            have = int(prec[1:] or "0") if prec else 0
            prec = "." + str(max(have, need))
            flags = flags.replace("0", "")
        if conv == "u":
            conv = "d"
    directive = "%" + flags + width + prec + conv
    head = fmt[: m.start()].replace("%%", "%")
    tail = fmt[m.end():].replace("%%", "%")
    return head + (directive % value) + tail


def main():
    with open(sys.argv[1], encoding="ascii") as cases:
        for line in cases:
            kind, bits, fmt = line.rstrip("\n").split("\t")
            text = c_printf(int(kind), int(bits, 16), bytes.fromhex(fmt).decode("latin-1"))
            print(text.encode("latin-1").hex())


if __name__ == "__main__":
    main()
