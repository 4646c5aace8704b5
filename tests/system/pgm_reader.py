#!/usr/bin/env python3
"""Independent reader of a program file: checks it and writes its tables out.

Usage: pgm_reader.py FILE OUTDIR
Writes OUTDIR/<type>.bin for every table and prints one summary line
"model=<m> version=<major>.<minor> tables=<t1>,<t2>,...". Exits with 1 and a
reason when the file breaks the format.
"""
import os
import struct
import sys

MAGIC = 7834
FIXED_ORDER = [4, 0, 5, 6]
OPTIONAL_ORDER = [20, 21, 22, 23, 33]


def crc16_modbus(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def fail(reason):
    print("bad file: " + reason)
    sys.exit(1)


def main():
    path, outdir = sys.argv[1], sys.argv[2]
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 84:
        fail("short header")
    model, minor, major, count, magic = struct.unpack_from("<HBBHH", data, 0)
    if magic != MAGIC:
        fail("magic %d" % magic)
    if count > 80:
        fail("%d tables" % count)
    if any(data[8:84]):
        fail("reserved header bytes not zero")
    pos = 84
    types = []
    for _ in range(count):
        if pos + 12 > len(data):
            fail("short table header")
        ttype, res16, res32, length = struct.unpack_from("<HHII", data, pos)
        if res16 or res32:
            fail("reserved table header fields not zero")
        pos += 12
        if pos + length + 2 > len(data):
            fail("table %d cut short" % ttype)
        body = data[pos:pos + length]
        (crc,) = struct.unpack_from("<H", data, pos + length)
        if crc != crc16_modbus(body):
            fail("CRC of table %d" % ttype)
        with open(os.path.join(outdir, "%d.bin" % ttype), "wb") as out:
            out.write(body)
        types.append(ttype)
        pos += length + 2
    if pos != len(data):
        fail("%d bytes after the last table" % (len(data) - pos))
    if types[:4] != FIXED_ORDER:
        fail("fixed tables %s" % types[:4])
    optional = types[4:]
    if optional != [t for t in OPTIONAL_ORDER if t in optional]:
        fail("optional tables out of order: %s" % optional)
    print("model=%d version=%d.%d tables=%s" % (model, major, minor, ",".join(str(t) for t in types)))


if __name__ == "__main__":
    main()
