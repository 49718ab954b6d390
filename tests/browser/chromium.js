// What the Chromium tests share: Debian's Chromium on fresh profiles,
// removed when the test file ends; the demo site and its enrollment.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { after } from "node:test";
import { chromium } from "playwright-core";

const FLAGS = ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
  "--disable-background-networking", "--disable-component-update", "--disable-sync"];
const open = [];
after(async () => {
  for (const { context, profile } of open) {
    await context.close();
    rmSync(profile, { recursive: true, force: true });
  }
});

// A browser of its own in `locale`, with extra `args` and launch `options`.
export async function launch(locale, args = [], options = {}) {
  const profile = mkdtempSync(join(tmpdir(), "keyloom-chromium-"));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: "/usr/bin/chromium", headless: true, locale,
    args: [...FLAGS, `--lang=${locale}`, `--accept-lang=${locale}`, ...args], ...options,
  });
  open.push({ context, profile });
  return context;
}

// Opens the demo site at `url` and waits for the agent's connection;
// answers the object the site's /api/ answers land in, by path.
export async function openSite(page, url) {
  const answers = {};
  page.on("response", async (r) => {
    if (r.url().includes("/api/")) answers[new URL(r.url()).pathname] = await r.json();
  });
  await page.goto(url);
  await page.locator('#agent-status[data-state="connected"]').waitFor();
  return answers;
}

// Enrolls with the provider already chosen; fails unless all seven steps
// end ok. Answers the issued table's rows by use: cells [use, subject,
// serial, valid from (UTC), valid to, provider, container] and the
// certificate (Base64 DER) the site answered.
export async function enroll(page, answers, bits, name) {
  await page.selectOption("#bits", bits);
  await page.fill("#name", name);
  await page.click("#enroll");
  const end = page.locator("#done:not([hidden]), #steps li[data-state=failed]");
  await end.first().waitFor({ timeout: 120_000 });
  assert.deepEqual(await page.locator("#steps li").evaluateAll((items) => items.map((i) => i.dataset.state)),
    Array(7).fill("ok"), await page.textContent("#error-text"));
  const issued = {};
  for (const [use, path] of [["sign", "/api/issue"], ["encrypt", "/api/envelope"]]) {
    const cells = await page.locator(`#issued tr[data-use="${use}"] td`).allTextContents();
    issued[use] = { cells, certificate: answers[path].certificate };
  }
  return issued;
}

// Serial (lower-case hex), subject and start of a Base64 DER certificate, as OpenSSL reads them.
export function opensslReads(base64) {
  const out = execFileSync("openssl", ["x509", "-inform", "DER", "-noout", "-serial", "-subject",
    "-startdate", "-nameopt", "RFC2253"], { input: Buffer.from(base64, "base64") }).toString();
  return { serial: /serial=(\w+)/.exec(out)[1].toLowerCase(), subject: /subject=(.*)/.exec(out)[1],
    notBefore: new Date(/notBefore=(.*)/.exec(out)[1]).getTime() };
}
