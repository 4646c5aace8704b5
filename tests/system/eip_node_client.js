// Independent EtherNet/IP originator for the adapter's system test: the npm
// package st-ethernet-ip registers a session and builds every request with
// its own encapsulation, EPATH and message-router code.
// Usage: node eip_node_client.js ADDRESS   (prints PASS or FAIL lines)
"use strict";
const { ENIP, CIP } = require("st-ethernet-ip/dist/enip");

const address = process.argv[2];
const { LOGICAL } = CIP.EPATH.segments;
const { services } = CIP.MessageRouter;

function path(cls, instance, attribute) {
  return Buffer.concat([
    LOGICAL.build(LOGICAL.types.ClassID, cls),
    LOGICAL.build(LOGICAL.types.InstanceID, instance),
    LOGICAL.build(LOGICAL.types.AttributeID, attribute),
  ]);
}

function request(enip, service, p, data) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error("no reply")), 5000);
    enip.once("SendRRData Received", (items) => {
      clearTimeout(timer);
      const item = items.find((i) => i.TypeID === 0xb2);
      resolve(CIP.MessageRouter.parse(item.data));
    });
    enip.write_cip(CIP.MessageRouter.build(service, p, data));
  });
}

function check(ok, what) {
  console.log((ok ? "ok   " : "FAIL ") + what);
  if (!ok) process.exitCode = 1;
}

(async () => {
  const enip = new ENIP();
  const session = await enip.connect(address, 5000);
  check(typeof session === "number" && session !== 0, "session registered: " + session);

  let r = await request(enip, services.GET_ATTRIBUTE_SINGLE, path(0x01, 1, 7), Buffer.alloc(0));
  check(r.generalStatusCode === 0 && r.data.toString("hex") === "0656444c343230", "identity name " + r.data.toString("hex"));
  r = await request(enip, services.GET_ATTRIBUTE_SINGLE, path(0x01, 1, 1), Buffer.alloc(0));
  check(r.generalStatusCode === 0 && r.data.length === 2, "vendor " + r.data.toString("hex"));
  r = await request(enip, services.GET_ATTRIBUTE_SINGLE, path(0xf5, 1, 4), Buffer.alloc(0));
  check(r.data.toString("hex") === "020020f62401", "link path " + r.data.toString("hex"));
  r = await request(enip, services.GET_ATTRIBUTE_SINGLE, path(0xf6, 1, 3), Buffer.alloc(0));
  check(r.generalStatusCode === 0 && r.data.length === 6, "physical address " + r.data.toString("hex"));

  const image = Buffer.from([1, 2, 3, 4, 5, 6, 7, 8]);
  r = await request(enip, services.SET_ATTRIBUTE_SINGLE, path(0x04, 100, 3), image);
  check(r.generalStatusCode === 0, "set assembly 100: " + r.generalStatusCode);
  r = await request(enip, services.GET_ATTRIBUTE_SINGLE, path(0x04, 100, 3), Buffer.alloc(0));
  check(r.data.equals(image), "assembly 100 reads back " + r.data.toString("hex"));
  r = await request(enip, services.SET_ATTRIBUTE_SINGLE, path(0x04, 100, 3), Buffer.from([1, 2, 3]));
  check(r.generalStatusCode === 0x13, "short set refused: " + r.generalStatusCode);
  r = await request(enip, services.GET_ATTRIBUTE_SINGLE, path(0x02, 9, 1), Buffer.alloc(0));
  check(r.generalStatusCode === 0x16, "router instance 9: " + r.generalStatusCode);
  r = await request(enip, services.GET_ATTRIBUTE_SINGLE, path(0x04, 101, 3), Buffer.alloc(0));
  check(r.generalStatusCode === 0 && r.data.length === 8, "assembly 101 " + r.data.toString("hex"));

  enip.destroy();
  if (process.exitCode !== 1) console.log("PASS");
})().catch((e) => {
  console.log("FAIL " + e.message);
  process.exit(1);
});
