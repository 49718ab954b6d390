// The demo site (testca serve on the host) in the host's Chromium through the
// Windows agent under Wine; scripts/wine-install-test starts both, exports
// their ports, and reads what this leaves in KEYLOOM_RESULT (the container
// and both serials) back with keyloom.exe under Wine. A folder of its own,
// in CommonJS: scripts/wine-test runs tests/wine/*.js under cscript.
const { writeFileSync } = require("node:fs");
const { join } = require("node:path");
const assert = require("node:assert/strict");
const { test } = require("node:test");

const { KEYLOOM_AGENT_PORT: agent, KEYLOOM_SITE_PORT: site, KEYLOOM_RESULT, KEYLOOM_ARTIFACTS } = process.env;
const PROVIDER = "Microsoft Enhanced Cryptographic Provider v1.0";

test("RSA double-certificate enrollment through the Windows agent", async () => {
  // The browser tests' helpers, with their playwright-core (tests/browser's npm ci).
  const { enroll, launch, openSite, opensslReads } = await import("../../browser/chromium.js");
  const page = await (await launch("en-US")).newPage();
  const answers = await openSite(page, `http://127.0.0.1:${site}/?agent=${agent}`);
  await page.selectOption("#provider", PROVIDER);
  const issued = await enroll(page, answers, "2048", "Wine Browser");
  assert.equal(await page.textContent("#done"), "Both certificates are installed.");
  const result = {};
  for (const [use, { cells, certificate }] of Object.entries(issued)) {
    // [use, subject, serial, valid from, valid to, provider, container]
    assert.deepEqual([cells[2], cells[5]], [opensslReads(certificate).serial, PROVIDER]);
    [result[use], result.container] = [cells[2], cells[6]];
  }
  writeFileSync(KEYLOOM_RESULT, JSON.stringify(result));
  await page.screenshot({ path: join(KEYLOOM_ARTIFACTS, "enrollment-wine-agent.png"), fullPage: true });
});
