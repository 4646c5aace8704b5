// Drives Debian's Chromium (through npm's playwright-core) at the test HMI
// page that the controller's web-HMI server serves from its card, with a
// user's HTTP Digest credentials; checks what the page shows in its DOM while
// mbpoll changes a register and the script advances the controller's clock
// with the board tool.
//
// Usage: node webhmi_browser.js HTTP_PORT MODBUS_PORT ROOT PLCBOARD
// Prints one line per check; exits 1 when a check failed.
"use strict";
const {chromium} = require("playwright-core");
const {execFileSync, spawn} = require("child_process");

const [port, modbusPort, root, plcboard] = process.argv.slice(2);
const failures = [];

function check(name, condition, detail) {
  console.log((condition ? "ok   " : "FAIL ") + name + (condition ? "" : "  " + JSON.stringify(detail)));
  if (!condition) failures.push(name);
}

function advance(ms) {
  execFileSync(plcboard, ["--root", root, "clock", "advance", String(ms)], {stdio: "ignore", timeout: 120000});
}

// Runs a peer program while the controller's clock moves (the controller
// answers it in its passes); its output, once it has ended.
async function whileAdvancing(program, args) {
  const child = spawn(program, args);
  let out = "", ended = false;
  child.stdout.on("data", d => (out += d));
  child.stderr.on("data", d => (out += d));
  child.on("close", () => (ended = true));
  for (let i = 0; i < 3000 && !ended; i++) {
    advance(10);
    await new Promise(resolve => setImmediate(resolve));
  }
  if (!ended) child.kill();
  return out;
}

async function text(page, id) {
  return page.evaluate(i => (document.getElementById(i) || {}).textContent, id);
}

// Advances the controller's clock in steps of stepMs until the element
// shows `expected` (any text when null); after each step it waits a little
// for the page's event (a publish answer on its way), never longer. Gives the
// last text shown.
async function advanceUntilShown(page, id, expected, stepMs, maxSteps) {
  for (let i = 0; i < maxSteps; i++) {
    const shown = await page
        .waitForFunction(([i, e]) => {
          const t = (document.getElementById(i) || {}).textContent;
          return e === null ? !!t : t === e;
        }, [id, expected], {timeout: 200})
        .then(() => true, () => false);
    if (shown) break;
    advance(stepMs);
  }
  return text(page, id);
}

(async () => {
  const browser = await chromium.launch({executablePath: "/usr/bin/chromium", headless: true});
  try {
    const context = await browser.newContext({httpCredentials: {username: "op", password: "secret"}});
    const page = await context.newPage();
    page.on("console", m => console.log("page: " + m.text()));
    page.on("pageerror", e => console.log("page error: " + e.message));
    const answer = await page.goto("http://127.0.0.1:" + port + "/hmi.htm?write=4321", {timeout: 60000});
    check("the page loads with Digest credentials", answer && answer.status() === 200, answer && answer.status());

    // Session, subscription, the write and the read back: the server
    // answers as its sockets wake it, so no clock step is needed.
    await page.waitForFunction(() => ["publishing", "failed"].includes(document.getElementById("state").textContent),
                               null, {timeout: 120000});
    check("the page opened a session", (await text(page, "session")) === "00000001", await text(page, "error"));
    check("%R100 written and read back", (await text(page, "r100")) === "4321", await text(page, "error"));

    // The subscription's first notification brings every item.
    const first = await advanceUntilShown(page, "v-SR_44_0_UINT16", null, 10, 300);
    check("the first publish shows the subscribed items",
          !!first && (await text(page, "v-R_100_0_INT16")) === "4321", await page.content());

    // mbpoll writes %R101 (holding register 3100, 0-based) meanwhile.
    const mb = await whileAdvancing("mbpoll", ["-m", "tcp", "-p", modbusPort, "-0", "-1", "-o", "3", "-t", "4",
                                               "-r", "3100", "127.0.0.1", "777"]);
    check("mbpoll wrote %R101", /Written 1 references/.test(mb), mb);
    check("the page shows the value mbpoll wrote",
          (await advanceUntilShown(page, "v-R_101_0_INT16", "777", 10, 300)) === "777", await page.content());

    // The controller's seconds (%SR44) move only as the clock is advanced.
    const s0 = Number(await text(page, "v-SR_44_0_UINT16"));
    const s1 = String((s0 + 1) % 60);
    check("a second of the controller's clock shows",
          (await advanceUntilShown(page, "v-SR_44_0_UINT16", s1, 50, 100)) === s1, {s0, page: await page.content()});
    check("the page met no error", (await text(page, "error")) === "", await text(page, "error"));
  } finally {
    await browser.close();
  }
  console.log("done");
  process.exit(failures.length ? 1 : 0);
})().catch(e => {
  console.log("FAIL " + (e.stack || e));
  process.exit(1);
});
