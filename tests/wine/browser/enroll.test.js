// The demo site (testca serve on the host) in the host's Chromium through the
// Windows agent under Wine; scripts/wine-install-test starts both, exports
// their ports, and reads what this leaves in KEYLOOM_RESULT (the container
// and both serials) back with keyloom.exe under Wine. A folder of its own,
// in CommonJS: scripts/wine-test runs tests/wine/*.js under cscript.
const { execFileSync } = require("node:child_process");
const { mkdtempSync, rmSync, writeFileSync } = require("node:fs");
const { tmpdir } = require("node:os");
const { join } = require("node:path");
const assert = require("node:assert/strict");
const { test } = require("node:test");

// The browser tests' own playwright-core (tests/browser's npm ci).
const { chromium } = require(require.resolve("playwright-core", { paths: [join(__dirname, "../../browser")] }));
const { KEYLOOM_AGENT_PORT: agent, KEYLOOM_SITE_PORT: site, KEYLOOM_RESULT, KEYLOOM_ARTIFACTS } = process.env;
const PROVIDER = "Microsoft Enhanced Cryptographic Provider v1.0";
const FLAGS = ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
  "--disable-background-networking", "--disable-component-update", "--disable-sync"];

// The serial (lower-case hex) of a Base64 DER certificate as OpenSSL reads it.
const serialOf = (base64) => /serial=(\w+)/.exec(execFileSync("openssl", ["x509", "-inform", "DER", "-noout",
  "-serial"], { input: Buffer.from(base64, "base64") }).toString())[1].toLowerCase();

test("RSA double-certificate enrollment through the Windows agent", async (t) => {
  const profile = mkdtempSync(join(tmpdir(), "keyloom-chromium-"));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: "/usr/bin/chromium", headless: true, locale: "en-US", args: FLAGS });
  t.after(async () => { await context.close(); rmSync(profile, { recursive: true, force: true }); });
  const page = await context.newPage();
  const answers = {};
  page.on("response", async (r) => {
    if (r.url().includes("/api/")) answers[new URL(r.url()).pathname] = await r.json();
  });
  await page.goto(`http://127.0.0.1:${site}/?agent=${agent}`);
  await page.locator('#agent-status[data-state="connected"]').waitFor();
  await page.selectOption("#provider", PROVIDER);
  await page.selectOption("#bits", "2048");
  await page.fill("#name", "Wine Browser");
  await page.click("#enroll");
  await page.locator("#done:not([hidden]), #steps li[data-state=failed]").first().waitFor({ timeout: 120_000 });
  assert.deepEqual(await page.locator("#steps li").evaluateAll((items) => items.map((i) => i.dataset.state)),
    Array(7).fill("ok"), await page.textContent("#error-text"));
  assert.equal(await page.textContent("#done"), "Both certificates are installed.");
  const result = {};
  for (const [use, path] of [["sign", "/api/issue"], ["encrypt", "/api/envelope"]]) {
    // [use, subject, serial, valid from, valid to, provider, container]
    const cells = await page.locator(`#issued tr[data-use="${use}"] td`).allTextContents();
    assert.deepEqual([cells[2], cells[5]], [serialOf(answers[path].certificate), PROVIDER]);
    [result[use], result.container] = [cells[2], cells[6]];
  }
  writeFileSync(KEYLOOM_RESULT, JSON.stringify(result));
  await page.screenshot({ path: join(KEYLOOM_ARTIFACTS, "enrollment-wine-agent.png"), fullPage: true });
});
