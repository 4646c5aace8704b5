#!/usr/bin/python3
"""CRC-16/MODBUS of each input line given as hex bytes, with crcmod (Debian
package python3-crcmod); one hex result per line."""
import sys

import crcmod.predefined

crc = crcmod.predefined.mkCrcFun("modbus")
for line in sys.stdin:
    print("%04x" % crc(bytes.fromhex(line.strip())))
