// A test HMI page of the controller's card: it opens a web-HMI session with
// a secret enciphered by the server's RSA key (PKCS#1 v1.5, BigInt), signs
// each request with MD5, writes %R100 and reads it back, then shows the
// subscribed values as long-poll publish delivers them. The page's query
// names the value written: hmi.htm?write=N.
"use strict";

// ---- MD5 (RFC 1321) over bytes ----------------------------------------------------
function md5Hex(text) {
  const bytes = new TextEncoder().encode(text);
  const n = ((bytes.length + 8) >>> 6) + 1;
  const words = new Uint32Array(n * 16);
  for (let i = 0; i < bytes.length; i++) words[i >> 2] |= bytes[i] << ((i % 4) * 8);
  words[bytes.length >> 2] |= 0x80 << ((bytes.length % 4) * 8);
  words[n * 16 - 2] = (bytes.length * 8) >>> 0;
  words[n * 16 - 1] = Math.floor(bytes.length / 0x20000000);
  const K = [], S = [7, 12, 17, 22, 5, 9, 14, 20, 4, 11, 16, 23, 6, 10, 15, 21];
  for (let i = 0; i < 64; i++) K[i] = Math.floor(Math.abs(Math.sin(i + 1)) * 4294967296) >>> 0;
  let a0 = 0x67452301, b0 = 0xefcdab89, c0 = 0x98badcfe, d0 = 0x10325476;
  for (let block = 0; block < n; block++) {
    let a = a0, b = b0, c = c0, d = d0;
    for (let i = 0; i < 64; i++) {
      let f, g;
      if (i < 16) { f = (b & c) | (~b & d); g = i; }
      else if (i < 32) { f = (d & b) | (~d & c); g = (5 * i + 1) % 16; }
      else if (i < 48) { f = b ^ c ^ d; g = (3 * i + 5) % 16; }
      else { f = c ^ (b | ~d); g = (7 * i) % 16; }
      const s = S[(i >> 4) * 4 + (i % 4)];
      const x = (a + f + K[i] + words[block * 16 + g]) >>> 0;
      a = d; d = c; c = b;
      b = (b + ((x << s) | (x >>> (32 - s)))) >>> 0;
    }
    a0 = (a0 + a) >>> 0; b0 = (b0 + b) >>> 0; c0 = (c0 + c) >>> 0; d0 = (d0 + d) >>> 0;
  }
  let hex = "";
  for (const w of [a0, b0, c0, d0])
    for (let i = 0; i < 4; i++) hex += ((w >>> (i * 8)) & 255).toString(16).padStart(2, "0");
  return hex;
}

// ---- RSA encryption with PKCS#1 v1.5 padding (type 2) -------------------------------
function modPow(base, exp, mod) {
  let result = 1n;
  base %= mod;
  while (exp > 0n) {
    if (exp & 1n) result = (result * base) % mod;
    base = (base * base) % mod;
    exp >>= 1n;
  }
  return result;
}

function rsaEncryptHex(modulusHex, exponentHex, text) {
  const n = BigInt("0x" + modulusHex), e = BigInt("0x" + exponentHex);
  const k = Math.ceil(modulusHex.replace(/^0+/, "").length / 2);
  const message = new TextEncoder().encode(text);
  if (message.length > k - 11) throw new Error("secret too long for the key");
  const block = new Uint8Array(k);
  block[1] = 2;
  const padding = block.subarray(2, k - message.length - 1);
  crypto.getRandomValues(padding);
  for (let i = 0; i < padding.length; i++)
    while (padding[i] === 0) padding[i] = crypto.getRandomValues(new Uint8Array(1))[0];
  block.set(message, k - message.length);
  let m = 0n;
  for (const b of block) m = (m << 8n) | BigInt(b);
  return modPow(m, e, n).toString(16).padStart(k * 2, "0");
}

// ---- The JSON protocol ---------------------------------------------------------------
const session = {id: null, secret: null, cnonce: 0};

async function post(name, fields, signed) {
  const body = new URLSearchParams();
  for (const [k, v] of fields) body.append(k, v);
  const headers = {"Content-Type": "application/x-www-form-urlencoded"};
  if (signed) {
    const c = String(++session.cnonce);
    headers["X-DarTU"] = 'sessionid="' + session.id + '", cnonce="' + c + '", digest="' +
        md5Hex(session.id + ":" + session.secret + ":" + c) + '"';
  }
  const answer = await fetch("/darTU/?" + name, {method: "POST", headers, body, cache: "no-store"});
  if (!answer.ok) throw new Error(name + ": HTTP " + answer.status);
  const json = await answer.json();
  if (json.error) throw new Error(name + ": " + json.error + " " + json.errorstring);
  return json;
}

function show(id, text) { document.getElementById(id).textContent = text; }

function showValue(address, value) {
  let cell = document.getElementById("v-" + address);
  if (!cell) {
    const row = document.getElementById("values").insertRow();
    row.insertCell().textContent = address;
    cell = row.insertCell();
    cell.id = "v-" + address;
  }
  cell.textContent = String(value);
}

async function run() {
  const write = new URLSearchParams(location.search).get("write") || "1234";
  show("state", "info");
  const info = await post("info", [["x", "1"]], false);
  const secret = Array.from(crypto.getRandomValues(new Uint8Array(12)), b => b.toString(16).padStart(2, "0")).join("");
  const created = await post("createsession",
                             [["cipher", rsaEncryptHex(info.encryptionmodulus, info.encryptionexponent, secret)]], false);
  session.id = created.sessionid;
  session.secret = secret;
  show("session", session.id);

  show("state", "subscribing");
  const frame = (await post("createsubscription", [["x", "1"]], true)).subscriptionid;
  const addresses = ["R_100_0_INT16", "R_101_0_INT16", "SR_44_0_UINT16"];
  const subscribed = await post("subscribedata", [["subscriptionid", frame], ...addresses.map(a => ["address[]", a])],
                                true);
  subscribed.result.forEach((r, i) => { if (r.error) throw new Error(addresses[i] + ": " + r.error); });

  const written = await post("write", [["address[]", "R_100_0_INT16"], ["value[]", write]], true);
  if (written.result[0].error) throw new Error("write: " + written.result[0].error);
  const read = await post("read", [["address[]", "R_100_0_INT16"]], true);
  show("r100", String(read.result[0].value));
  show("state", "publishing");

  for (let answers = 1;; answers++) {
    const p = await post("publish", [["x", "1"]], true);
    for (const r of p.result) showValue(r.address, r.value);
    show("publishes", String(answers));
  }
}

window.addEventListener("DOMContentLoaded", () => {
  run().catch(e => { show("error", String(e.message || e)); show("state", "failed"); });
});
