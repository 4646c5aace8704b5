# A BOOTP client for the tests: from ADDRESS:68 sends each request to
# SERVER:67 and waits up to a second for a reply, printing one line per
# request: "none", or "reply <length> <yiaddr> <siaddr> <options hex>".
#   bootp_client.py ADDRESS SERVER MAC-HEX:LENGTH [MAC-HEX:LENGTH ...]
import socket
import struct
import sys

address, server = sys.argv[1], sys.argv[2]
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind((address, 68))
s.settimeout(1.0)
for n, spec in enumerate(sys.argv[3:]):
    mac_hex, length = spec.split(":")
    req = bytearray(max(int(length), 4))
    req[0:4] = bytes([1, 1, 6, 0])
    if len(req) >= 8:
        req[4:8] = struct.pack(">I", 0x1000 + n)
    if len(req) >= 34:
        req[28:34] = bytes.fromhex(mac_hex)
    if len(req) >= 240:
        req[236:240] = bytes([99, 130, 83, 99])
    s.sendto(bytes(req), (server, 67))
    try:
        data, _ = s.recvfrom(2048)
        yi = socket.inet_ntoa(data[16:20])
        si = socket.inet_ntoa(data[20:24])
        print("reply %d %s %s %s %s" % (len(data), yi, si, data[44:47].decode("latin-1"), data[236:250].hex()),
              flush=True)
    except socket.timeout:
        print("none", flush=True)
print("done", flush=True)
