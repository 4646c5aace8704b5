"""An SDO client of the controller's stand-in CAN bus, built on python-can's
own SocketCAN frame packer: joins the bus, runs the given accesses one after
the other against node NODE's default server (0x600/0x580 + NODE), and
prints one line per access.

usage: sdo_client.py BUS NODE GUARD ACCESS...
ACCESS: r:INDEX:SUB (hex) an upload, w:INDEX:SUB:HEX an expedited download.
Printed: "INDEX SUB ok HEX" or "INDEX SUB abort CODE" (hex), or
"INDEX SUB timeout".
"""
import select
import struct
import sys
import time

import can
from can.interfaces.socketcan.socketcan import build_can_frame, dissect_can_frame

from can_bus_peer import SEATS, join


class Client:
    def __init__(self, bus, node, guard):
        self.bus, self.node, self.guard = bus, node, guard
        self.sock, self.seat = join(bus)

    def send(self, data):
        frame = build_can_frame(can.Message(arbitration_id=0x600 + self.node, is_extended_id=False,
                                            data=bytes(data)))
        for k in range(SEATS):
            if k != self.seat:
                self.sock.sendto(frame, ("127.0.0.1", self.bus + k))

    def answer(self):
        end = time.monotonic() + self.guard
        while time.monotonic() < end:
            r, _, _ = select.select([self.sock], [], [], 0.05)
            if not r:
                continue
            frame = self.sock.recv(64)
            if len(frame) != 16:
                continue
            can_id, dlc, _flags, data = dissect_can_frame(frame)
            if can_id == 0x580 + self.node and dlc == 8:
                return data[:8]
        return None

    def access(self, text):
        parts = text.split(":")
        index, sub = int(parts[1], 16), int(parts[2], 16)
        head = struct.pack("<HB", index, sub)
        if parts[0] == "w":
            value = bytes.fromhex(parts[3])
            self.send(bytes([0x23 | ((4 - len(value)) << 2)]) + head + value.ljust(4, b"\0"))
        else:
            self.send(bytes([0x40]) + head + bytes(4))
        a = self.answer()
        name = "%04X %02X" % (index, sub)
        if a is None:
            return name + " timeout"
        if a[0] == 0x80:
            return name + " abort %08X" % struct.unpack("<I", a[4:8])[0]
        if a[0] == 0x60:
            return name + " ok"
        if a[0] & 0xE3 == 0x43:
            return name + " ok " + a[4:8 - ((a[0] >> 2) & 3)].hex()
        if a[0] == 0x41:
            size = struct.unpack("<I", a[4:8])[0]
            value = b""
            toggle = 0
            while len(value) < size:
                self.send(bytes([0x60 | toggle]) + bytes(7))
                s = self.answer()
                if s is None:
                    return name + " timeout"
                if s[0] == 0x80:
                    return name + " abort %08X" % struct.unpack("<I", s[4:8])[0]
                n = 7 - ((s[0] >> 1) & 7) if s[0] & 1 else 7
                value += s[1:1 + n]
                toggle ^= 0x10
                if s[0] & 1:
                    break
            return name + " ok " + value.hex()
        return name + " answer " + a.hex()


def main():
    client = Client(int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]))
    for text in sys.argv[4:]:
        print(client.access(text), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
