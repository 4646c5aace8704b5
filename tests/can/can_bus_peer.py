"""A node of the controller's stand-in CAN bus, built on python-can's own
SocketCAN frame packer: joins the bus (first free of the 16 UDP seats on
127.0.0.1 starting at BUS), puts the given frames on it, says "ready", then
prints every frame it takes until COUNT were seen or GUARD seconds passed.

usage: can_bus_peer.py BUS COUNT GUARD FRAME...
FRAME: ID#HEX (3 hex digits 11-bit, 8 hex digits 29-bit), ID#R remote,
ERR:CLASS:HEX an error frame of that class (hex) with those data bytes.
Printed: "ID EXT RTR DLC DATA" per frame taken.
"""
import select
import socket
import sys
import time

import can
from can.interfaces.socketcan.socketcan import build_can_frame, dissect_can_frame

SEATS = 16
CAN_EFF_FLAG = 0x80000000
CAN_RTR_FLAG = 0x40000000
CAN_ERR_FLAG = 0x20000000


def join(bus):
    for k in range(SEATS):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            s.bind(("127.0.0.1", bus + k))
            return s, k
        except OSError:
            s.close()
    raise SystemExit("no free seat")


def message(text):
    if text.startswith("ERR:"):
        _, cls, data = text.split(":")
        return can.Message(arbitration_id=int(cls, 16), is_error_frame=True,
                           is_extended_id=True, data=bytes.fromhex(data))
    ident, data = text.split("#")
    ext = len(ident) == 8
    if data == "R":
        return can.Message(arbitration_id=int(ident, 16), is_extended_id=ext,
                           is_remote_frame=True, dlc=0)
    return can.Message(arbitration_id=int(ident, 16), is_extended_id=ext,
                       data=bytes.fromhex(data))


def main():
    bus, count, guard = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
    sock, seat = join(bus)
    for text in sys.argv[4:]:
        frame = build_can_frame(message(text))
        assert len(frame) == 16
        for k in range(SEATS):
            if k != seat:
                sock.sendto(frame, ("127.0.0.1", bus + k))
    print("ready", flush=True)
    end = time.monotonic() + guard
    seen = 0
    while seen < count and time.monotonic() < end:
        r, _, _ = select.select([sock], [], [], 0.05)
        if not r:
            continue
        frame = sock.recv(64)
        if len(frame) != 16:
            continue
        can_id, dlc, _flags, data = dissect_can_frame(frame)
        ext = 1 if can_id & CAN_EFF_FLAG else 0
        rtr = 1 if can_id & CAN_RTR_FLAG else 0
        ident = can_id & (0x1FFFFFFF if ext else 0x7FF)
        print("%X %d %d %d %s" % (ident, ext, rtr, dlc, data[:dlc].hex()), flush=True)
        seen += 1
    return 0 if seen >= count else 1


if __name__ == "__main__":
    sys.exit(main())
