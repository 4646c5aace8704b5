#!/usr/bin/python3
"""A JSON client of the controller's web-HMI server, independent of its code:
HTTP Digest authentication, the session secret enciphered with the server's
RSA key by openssl pkeyutl, the X-DarTU request digest, and a scenario of
reads, writes, subscriptions and long-poll publish on a controller whose
clock the script advances with the board tool.

Usage: webhmi_client.py PORT ROOT PLCBOARD
Prints one line per check; exits 1 when a check failed.
"""
import hashlib
import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import threading
import urllib.parse

PORT = int(sys.argv[1])
ROOT = sys.argv[2]
PLCBOARD = sys.argv[3]
USER, PASSWORD, REALM = "op", "secret", "darTU"
failures = []


def md5(text):
    return hashlib.md5(text.encode()).hexdigest()


def check(name, condition, detail=""):
    print(("ok   " if condition else "FAIL ") + name + ("" if condition else "  " + str(detail)), flush=True)
    if not condition:
        failures.append(name)


def advance(ms):
    subprocess.run([PLCBOARD, "--root", ROOT, "clock", "advance", str(ms)], check=True,
                   stdout=subprocess.DEVNULL, timeout=120)


class Http:
    """HTTP/1.0 requests with Digest authentication (one connection each)."""

    def __init__(self):
        self.nonce = None
        self.nc = 0

    def raw(self, method, path, body=b"", headers=None, timeout=60):
        head = "%s %s HTTP/1.0\r\n" % (method, path)
        for k, v in (headers or {}).items():
            head += "%s: %s\r\n" % (k, v)
        head += "Content-Length: %d\r\n\r\n" % len(body)
        s = socket.create_connection(("127.0.0.1", PORT), timeout=timeout)
        s.sendall(head.encode() + body)
        data = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
        s.close()
        header, _, content = data.partition(b"\r\n\r\n")
        status = int(header.split(b" ")[1]) if header.startswith(b"HTTP/") else 0
        return status, header.decode(errors="replace"), content

    def authorization(self, method, path):
        self.nc += 1
        nc = "%08x" % self.nc
        cnonce = "c%d" % self.nc
        ha1 = md5("%s:%s:%s" % (USER, REALM, PASSWORD))
        ha2 = md5("%s:%s" % (method, path))
        response = md5(":".join([ha1, self.nonce, nc, cnonce, "auth", ha2]))
        return ('Digest username="%s", realm="%s", nonce="%s", uri="%s", qop=auth, nc=%s, cnonce="%s", '
                'response="%s"' % (USER, REALM, self.nonce, path, nc, cnonce, response))

    def request(self, method, path, body=b"", headers=None, timeout=60):
        for _ in range(3):
            h = dict(headers or {})
            if self.nonce:
                h["Authorization"] = self.authorization(method, path)
            status, header, content = self.raw(method, path, body, h, timeout)
            if status != 401:
                return status, content
            m = re.search(r'nonce="([0-9a-f]+)"', header)
            self.nonce = m.group(1) if m else None
        return status, content


http = Http()


class Session:
    def __init__(self, secret):
        self.secret = secret
        self.cnonce = 0
        self.id = None

    def header(self):
        self.cnonce += 1
        c = str(self.cnonce)
        return 'sessionid="%s", cnonce="%s", digest="%s"' % (self.id, c, md5("%s:%s:%s" % (self.id, self.secret, c)))


def post(name, fields, session=None, timeout=60):
    body = urllib.parse.urlencode(fields).encode()
    headers = {"Content-Type": "application/x-www-form-urlencoded"}
    if session:
        headers["X-DarTU"] = session.header()
    status, content = http.request("POST", "/darTU/?" + name, body, headers, timeout)
    try:
        return json.loads(content.decode())
    except ValueError:
        return {"status": status, "raw": content.decode(errors="replace")}


def encipher(modulus_hex, exponent_hex, secret):
    with tempfile.TemporaryDirectory() as d:
        with open(os.path.join(d, "key.conf"), "w") as f:
            f.write("asn1=SEQUENCE:k\n[k]\nn=INTEGER:0x%s\ne=INTEGER:0x%s\n" % (modulus_hex, exponent_hex))
        with open(os.path.join(d, "plain"), "w") as f:
            f.write(secret)
        run = lambda *a: subprocess.run(list(a), cwd=d, check=True, capture_output=True)
        run("openssl", "asn1parse", "-genconf", "key.conf", "-out", "pub.der")
        run("openssl", "rsa", "-RSAPublicKey_in", "-inform", "DER", "-in", "pub.der", "-pubout", "-out", "pub.pem")
        run("openssl", "pkeyutl", "-encrypt", "-pubin", "-inkey", "pub.pem", "-pkeyopt", "rsa_padding_mode:pkcs1",
            "-in", "plain", "-out", "cipher")
        with open(os.path.join(d, "cipher"), "rb") as f:
            return f.read().hex()


INFO = post("info", {"x": "1"})


def open_session(secret, timeout=None):
    s = Session(secret)
    fields = {"cipher": encipher(INFO["encryptionmodulus"], INFO["encryptionexponent"], secret)}
    if timeout is not None:
        fields["timeout"] = str(timeout)
    answer = post("createsession", fields)
    s.id = answer.get("sessionid")
    return s, answer


def frame(session):
    return post("createsubscription", {"x": "1"}, session).get("subscriptionid")


def subscribe(session, frame_id, addresses):
    return post("subscribedata", [("subscriptionid", frame_id)] + [("address[]", a) for a in addresses], session)


def read(session, addresses):
    return post("read", [("address[]", a) for a in addresses], session)


def write(session, pairs):
    fields = []
    for a, v in pairs:
        fields += [("address[]", a), ("value[]", v)]
    return post("write", fields, session)


def publish(session, **fields):
    return post("publish", fields or {"x": "1"}, session)


def errors(answer):
    return [r.get("error") for r in answer.get("result", [])]


# ---- Info, sessions, reads and writes ------------------------------------------------
check("info lists the five features", INFO.get("features") == ["session", "subscribedata", "login", "read", "write"],
      INFO)
check("info names an RSA key", len(INFO.get("encryptionmodulus", "")) == 256, INFO)

a, answer = open_session("first secret")
check("createsession", a.id == "00000001", answer)
check("an unsubscribed address reads 301",
      read(a, ["R_1_0_INT16"]) == {"result": [{"value": None, "error": 301, "errorstring": "Address not found"}]})
fa = frame(a)
table = ["R_1_0_INT16", "R_1_3_BOOL", "I_5_0_BOOL", "SR_200_0_UINT16", "R_10_0_CHAR_8", "R_20_0_FLOAT32",
         "R_30_0_TIME", "SR_209_4_BOOL"]
check("subscribedata of the table", errors(subscribe(a, fa, table)) == [0] * len(table))
w = write(a, [("R_1_0_INT16", "-1234"), ("R_1_3_BOOL", "true"), ("I_5_0_BOOL", "yes"), ("SR_200_0_UINT16", "4660"),
              ("R_10_0_CHAR_8", "web hmi"), ("R_20_0_FLOAT32", "nan"), ("R_30_0_TIME", "86400000")])
check("writes succeed", errors(w) == [0] * 7, w)
r = read(a, table)
values = [x.get("value") for x in r.get("result", [])]
check("INT16 with bit 3 already set", values[0] == -1234, r)
check("BOOL true written as 1", values[1] is True, r)
check("BOOL yes written as 0", values[2] is False, r)
check("%ESR8 through SR_200", values[3] == 4660, r)
check("CHAR_8", values[4] == "web hmi", r)
check("FLOAT32 NaN reads null", values[5] is None and r["result"][5].get("error") == 0, r)
check("TIME", values[6] == 86400000, r)
check("%ESR17 bit 4 shows the login", values[7] is True, r)
forty = ["R_1_0_INT16" if i % 2 else "SR_200_0_UINT16" for i in range(40)]
r40 = read(a, forty)
check("40 addresses in request order", [x.get("value") for x in r40.get("result", [])] ==
      [-1234 if i % 2 else 4660 for i in range(40)], r40)

# ---- Subscriptions and publish ----------------------------------------------------------
# A NaN is a change at every check: a number ends that before the queue is emptied.
write(a, [("R_20_0_FLOAT32", "1.5")])
publish(a, longpoll="false")
fb = frame(a)
dup = subscribe(a, fb, ["R_40_0_INT16", "R_1_0_INT16", "R_40_0_INT16"])
check("a duplicate in a frame is 465", errors(dup) == [0, 0, 465], dup)
for v in range(1, 6):
    write(a, [("R_40_0_INT16", str(v))])
write(a, [("R_1_0_INT16", "7")])
p = publish(a, longpoll="false", maxresults="1")
res = p.get("result", [])
check("five changes coalesced into the newest", len(res) == 1 and res[0].get("address") == "R_40_0_INT16" and
      res[0].get("value") == 5, p)
check("maxresults and remaining", p.get("remaining") == 1, p)
p = publish(a, longpoll="false")
res = p.get("result", [])
check("two frames of one session in one notification",
      len(res) == 1 and sorted(res[0].get("subscriptionid", [])) == sorted([fa, fb]), p)
frames = [fa, fb] + [frame(a) for _ in range(14)]
check("16 frames", all(frames), frames)
check("the 17th frame is 463", post("createsubscription", {"x": "1"}, a).get("error") == 463)

# A parked publish answered by a change made on another connection.
box = {}
t = threading.Thread(target=lambda: box.update(answer=publish(a)))
t.start()
t.join(1.0)
check("publish parks on an empty queue", t.is_alive())
write(a, [("R_40_0_INT16", "99")])
# The server answers parked requests at its next idle pass.
for _ in range(300):
    t.join(0.1)
    if not t.is_alive():
        break
    advance(10)
t.join(60)
res = box.get("answer", {}).get("result", [])
check("the parked publish carries the change", len(res) == 1 and res[0].get("value") == 99, box)
# Without change it is answered after half the session timeout.
box = {}
t = threading.Thread(target=lambda: box.update(answer=publish(a)))
t.start()
t.join(1.0)
advance(31000)
t.join(60)
check("an idle parked publish is answered empty", box.get("answer") == {"result": [], "remaining": 0}, box)

# ---- Limits and expiry ---------------------------------------------------------------
others = [open_session("secret %d" % i)[0] for i in range(3)]
check("four sessions", all(s.id for s in others))
check("the fifth session is 450", open_session("one too many")[1].get("error") == 450)
# a stays active by reading; the others make no request: the connection
# time-out (60 s) ends them.
for _ in range(3):
    advance(25000)
    read(a, ["R_1_0_INT16"])
check("quiet sessions expire", post("read", {"x": "1"}, others[0]).get("error") == 451)
check("the reader stays", "result" in read(a, ["R_1_0_INT16"]))
# Reads do not count as activity: the inactivity time-out (300 s of the
# controller's clock) ends the reader too.
for _ in range(7):
    advance(50000)
    read(a, ["R_1_0_INT16"])
check("inactivity expires the reader", read(a, ["R_1_0_INT16"]).get("error") == 451)

# ---- SCADA requests --------------------------------------------------------------------
s, _ = open_session("scada")
fs = frame(s)
check("readhistory 510", post("readhistory", {"address[]": "a"}, s).get("error") == 510)
check("queryfilter 509", post("queryfilter", {"x": "1"}, s).get("error") == 509)
check("acceptalarm []", post("acceptalarm", [("address[]", "a")] * 3, s) == {"result": []})
check("subscribefilter", post("subscribefilter", {"subscriptionid": fs, "field": "a:b"}, s) ==
      {"serverhandle": "//F/00000001"})
check("deletesession", post("deletesession", {"x": "1"}, s) == {})
print("done", flush=True)
sys.exit(1 if failures else 0)
