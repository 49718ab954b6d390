// A bank's page on a public https address (`testca serve --tls`, its key
// pinned; --ip-address-space-overrides marks it public): reaching the agent
// on 127.0.0.1 takes the user's local-network permission.
import { spawn } from "node:child_process";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";
import assert from "node:assert/strict";
import { after, before, test } from "node:test";
import { launch } from "./chromium.js";

const ROOT = join(dirname(fileURLToPath(import.meta.url)), "../..");
const AGENT = Number(process.env.KEYLOOM_AGENT_PORT);
let site, origin, pin;

before(async () => {
  site = spawn(join(dirname(process.env.KEYLOOM_BIN), "testca"),
    ["serve", "--tls", "--dir", join(ROOT, "build/chain"), "--port", "0"], { stdio: ["ignore", "pipe", "inherit"] });
  let out = "";
  for await (const chunk of site.stdout) if (/ready on/.test(out += chunk)) break;
  pin = /SubjectPublicKeyInfo: (\S+)/.exec(out)[1];
  origin = /ready on (https:\/\/127\.0\.0\.1:\d+)\//.exec(out)[1];
});

after(() => site?.kill());

async function publicPage() {
  const context = await launch("en-US", [`--ignore-certificate-errors-spki-list=${pin}`,
    `--ip-address-space-overrides=${new URL(origin).host}=public`]);
  return { context, page: await context.newPage() };
}

// The enrollment that follows is the one site.test.js makes.
test("a public https page the user lets reach the local network connects", async () => {
  const { context, page } = await publicPage();
  await context.grantPermissions(["local-network-access"], { origin });
  await page.goto(`${origin}/?agent=${AGENT}`);
  assert.equal(await page.evaluate(() => isSecureContext), true);
  await page.locator('#agent-status[data-state="connected"]').waitFor();
  assert.ok((await page.locator("#provider option").allTextContents()).includes("Microsoft Enhanced Cryptographic Provider v1.0"));
});

test("a public https page the user keeps from the local network explains what to allow", async () => {
  const { context, page } = await publicPage();
  // The user's "Block" on the prompt, under each name Chromium has used.
  const cdp = await context.newCDPSession(page);
  for (const name of ["local-network-access", "local-network", "loopback-network"])
    await cdp.send("Browser.setPermission", { permission: { name }, setting: "denied", origin });
  await page.goto(`${origin}/?agent=${AGENT}`);
  await page.locator('#agent-status[data-state="blocked"]').waitFor();
  assert.match(await page.textContent("#agent-status"),
    /^Your browser did not let this page reach the Keyloom security control on this computer\. Allow this site to access devices on your local network/);
  assert.deepEqual([await page.isVisible("#reconnect"), await page.isDisabled("#enroll")], [true, true]);
});
