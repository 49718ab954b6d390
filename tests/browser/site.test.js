// The demo site in Debian's Chromium against the running agent and
// `testca serve` (scripts/browser-test starts both and exports their ports).
// The certificates the page installs are read back from the control's
// listing and checked against OpenSSL's reading of what the authority sent
// (that each key pair is whole is the native suites' and package.test.js's).
import { execFileSync } from "node:child_process";
import { mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import assert from "node:assert/strict";
import { after, test } from "node:test";
import { chromium } from "playwright-core";

const AGENT = Number(process.env.KEYLOOM_AGENT_PORT);
const SITE = Number(process.env.KEYLOOM_SITE_PORT);
const ARTIFACTS = process.env.KEYLOOM_ARTIFACTS;
const TRUSTED = `http://127.0.0.1:${SITE}/?agent=${AGENT}`;
const REFUSED = `http://127.0.0.2:${SITE}/?agent=${AGENT}`;
const FLAGS = ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
  "--disable-background-networking", "--disable-component-update", "--disable-sync"];

const open = [];
after(async () => {
  for (const { context, profile } of open) {
    await context.close();
    rmSync(profile, { recursive: true, force: true });
  }
});

// A page in a browser of its own, on a fresh profile, in `locale`.
async function newPage(locale, extra = {}) {
  const profile = mkdtempSync(join(tmpdir(), "keyloom-chromium-"));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: "/usr/bin/chromium", headless: true, locale,
    args: [...FLAGS, `--lang=${locale}`, `--accept-lang=${locale}`], ...extra,
  });
  open.push({ context, profile });
  return context.newPage();
}

// Serial (lower-case hex), subject and start of a Base64 DER certificate, as OpenSSL reads them.
function opensslReads(base64) {
  const out = execFileSync("openssl", ["x509", "-inform", "DER", "-noout", "-serial", "-subject",
    "-startdate", "-nameopt", "RFC2253"], { input: Buffer.from(base64, "base64") }).toString();
  return { serial: /serial=(\w+)/.exec(out)[1].toLowerCase(), subject: /subject=(.*)/.exec(out)[1],
    notBefore: new Date(/notBefore=(.*)/.exec(out)[1]).getTime() };
}

const rows = [
  // locale, algorithm, provider, bits, name, a text of the page's language, and the
  // provider as the certificate list shows it (a token keeps its certificates with
  // its keys, outside the personal store: the page adds this visit's, marked)
  { locale: "en-US", algorithm: "RSA", provider: "Microsoft Enhanced Cryptographic Provider v1.0",
    bits: "2048", name: "Zhang San", pageText: "Both certificates are installed.",
    listedAs: "Microsoft Enhanced Cryptographic Provider v1.0" },
  { locale: "zh-CN", algorithm: "SM2", provider: "Keyloom SM2 Token Provider", bits: "256",
    name: "Li Si", pageText: "两张证书均已安装。", listedAs: "Keyloom SM2 Token Provider （保存在令牌中）" },
];

for (const row of rows) {
  test(`${row.algorithm} double-certificate enrollment on the trusted site (${row.locale})`, async () => {
    const page = await newPage(row.locale);
    const answers = {};
    page.on("response", async (r) => {
      if (r.url().includes("/api/")) answers[new URL(r.url()).pathname] = await r.json();
    });
    await page.goto(TRUSTED);
    await page.locator('#agent-status[data-state="connected"]').waitFor();
    // The name is never filled in for the customer; the provider decides
    // which algorithms and lengths are offered.
    assert.equal(await page.inputValue("#name"), "");
    await page.selectOption("#provider", row.provider);
    assert.deepEqual(await page.locator("#algorithm option").allTextContents(), [row.algorithm]);
    await page.selectOption("#bits", row.bits);
    await page.fill("#name", row.name);
    await page.click("#enroll");
    await page.locator("#done:not([hidden])").waitFor({ timeout: 120_000 });
    assert.equal(await page.textContent("#done"), row.pageText);
    assert.deepEqual(await page.locator("#steps li").evaluateAll((items) =>
      items.map((i) => i.dataset.state)), Array(7).fill("ok"));

    for (const [use, path] of [["sign", "/api/issue"], ["encrypt", "/api/envelope"]]) {
      const issued = opensslReads(answers[path].certificate);
      assert.match(issued.subject, new RegExp(`^CN=${row.name},OU=Online Banking,O=Keyloom Bank,C=CN$`));
      // [use, subject, serial, valid from (UTC), valid to, provider, container]
      const cells = await page.locator(`#issued tr[data-use="${use}"] td`).allTextContents();
      assert.equal(cells[2], issued.serial);
      assert.equal(new Date(`${cells[3].replace(" ", "T")}Z`).getTime(), issued.notBefore);
      assert.equal(cells[5], row.provider);
      assert.match(cells[6], /^\S+$/); // the container
      // [use, subject, serial, from, to, provider]
      const listed = await page.locator(`#certs tr[data-use="${use}"] td`).allTextContents();
      assert.deepEqual([listed[2], listed[5]], [issued.serial, row.listedAs]);
    }
    await page.screenshot({ path: join(ARTIFACTS, `enrollment-${row.algorithm.toLowerCase()}.png`),
      fullPage: true });
  });
}

test("a refused key length is explained in plain words, the code as a detail", async () => {
  const page = await newPage("zh-CN");
  await page.goto(TRUSTED);
  await page.locator('#agent-status[data-state="connected"]').waitFor();
  await page.selectOption("#provider", "Microsoft Base Cryptographic Provider v1.0");
  // Only what the control takes: no AES provider, RSA alone and its two lengths for Base.
  assert.equal((await page.locator("#provider option").allTextContents()).some((p) => p.includes("AES")), false);
  assert.deepEqual(await page.locator("#algorithm option").allTextContents(), ["RSA"]);
  assert.deepEqual(await page.locator("#bits option").allTextContents(), ["1024", "512"]);
  // The page offers only lengths the provider takes; a tampered page asks for more.
  await page.evaluate(() => {
    document.querySelector("#bits").add(new Option("4096", "4096"));
    document.querySelector("#bits").value = "4096";
  });
  await page.fill("#name", "Wang Wu");
  await page.click("#enroll");
  await page.locator('#steps li[data-state="failed"]').waitFor();
  assert.equal(await page.textContent("#error-text"), "此提供程序不支持该密钥长度，请选择其他长度或提供程序。");
  assert.equal(await page.textContent("#error-code"), "供银行客服参考的代码： 0xa0072400");
  await page.click("#lang-en");
  assert.match(await page.textContent("#error-text"), /^This provider does not take keys of that length/);
});

test("the site outside the trusted sites is refused at the handshake", async () => {
  const page = await newPage("en-US");
  await page.goto(REFUSED);
  await page.locator('#agent-status[data-state="refused"]').waitFor();
  assert.match(await page.textContent("#agent-status"), /refused this page: this site is not among your trusted sites/);
  assert.equal(await page.locator("#provider option").count(), 0);
  assert.equal(await page.isDisabled("#enroll"), true);
});
