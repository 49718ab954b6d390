// The demo site in Debian's Chromium against the running agent and
// `testca serve` (scripts/browser-test starts both and exports their ports).
// The certificates the page installs are read back from the control's
// listing against OpenSSL's reading of what the authority sent (whole key
// pairs: the native suites and package.test.js). The PKCS#11 row puts the
// keys on the run's SoftHSM2 token, its PIN prompt answered and recorded by
// the scripted pinentry. scripts/wine-install-test runs the Enhanced row
// through the Windows agent under Wine and reads $KEYLOOM_RESULT back there.
import { readFileSync, writeFileSync } from "node:fs";
import { join } from "node:path";
import assert from "node:assert/strict";
import { test } from "node:test";
import { enroll, launch, openSite, opensslReads } from "./chromium.js";

const AGENT = Number(process.env.KEYLOOM_AGENT_PORT);
const SITE = Number(process.env.KEYLOOM_SITE_PORT);
const TRUSTED = `http://127.0.0.1:${SITE}/?agent=${AGENT}`;
const newPage = async (locale) => (await launch(locale)).newPage();

const rows = [
  // listedAs: the provider as the certificate list shows it (a token keeps its
  // certificates outside the personal store: the page adds this visit's, marked);
  // prompts: the PIN prompts recorded, one for the whole connection
  { locale: "en-US", algorithm: "RSA", provider: "Microsoft Enhanced Cryptographic Provider v1.0",
    bits: "2048", name: "Zhang San", listedAs: "Microsoft Enhanced Cryptographic Provider v1.0" },
  { locale: "zh-CN", algorithm: "SM2", provider: "Keyloom SM2 Token Provider", bits: "256",
    name: "Li Si", listedAs: "Keyloom SM2 Token Provider （保存在令牌中）" },
  { locale: "en-US", algorithm: "RSA", provider: "Keyloom PKCS#11 Token Provider", bits: "2048",
    name: "Wang Wu", listedAs: "Keyloom PKCS#11 Token Provider (kept on the token)",
    prompts: 'Enter the PIN of the token "Keyloom Browser".\n' },
];

for (const row of rows) {
  test(`${row.algorithm} double-certificate enrollment with ${row.provider} (${row.locale})`, async () => {
    const page = await newPage(row.locale);
    const answers = await openSite(page, TRUSTED);
    // The name is never filled in for the customer; the provider decides
    // which algorithms and lengths are offered.
    assert.equal(await page.inputValue("#name"), "");
    await page.selectOption("#provider", row.provider);
    assert.deepEqual(await page.locator("#algorithm option").allTextContents(), [row.algorithm]);
    const issued = await enroll(page, answers, row.bits, row.name);
    const result = {};
    for (const use of ["sign", "encrypt"]) {
      const { cells, certificate } = issued[use];
      const cert = opensslReads(certificate);
      assert.match(cert.subject, new RegExp(`^CN=${row.name},OU=Online Banking,O=Keyloom Bank,C=CN$`));
      assert.deepEqual([cells[2], cells[5]], [cert.serial, row.provider]);
      assert.equal(new Date(`${cells[3].replace(" ", "T")}Z`).getTime(), cert.notBefore);
      // [use, subject, serial, from, to, provider]
      const listed = await page.locator(`#certs tr[data-use="${use}"] td`).allTextContents();
      assert.deepEqual([listed[2], listed[5]], [cert.serial, row.listedAs]);
      [result[use], result.container] = [cells[2], cells[6]];
    }
    if (process.env.KEYLOOM_RESULT) writeFileSync(process.env.KEYLOOM_RESULT, JSON.stringify(result));
    if (row.prompts) assert.equal(readFileSync(process.env.KEYLOOM_TEST_PROMPTS, "utf8"), row.prompts);
    const shot = `enrollment-${row.algorithm.toLowerCase()}${row.prompts ? "-pkcs11" : ""}.png`;
    await page.screenshot({ path: join(process.env.KEYLOOM_ARTIFACTS, shot), fullPage: true });
  });
}

test("a refused key length is explained in plain words, the code as a detail", async () => {
  const page = await newPage("zh-CN");
  await openSite(page, TRUSTED);
  await page.selectOption("#provider", "Microsoft Base Cryptographic Provider v1.0");
  // Only the lengths the control takes for Base.
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
});

test("the site outside the trusted sites is refused at the handshake", async () => {
  const page = await newPage("en-US");
  await page.goto(`http://127.0.0.2:${SITE}/?agent=${AGENT}`);
  await page.locator('#agent-status[data-state="refused"]').waitFor();
  assert.match(await page.textContent("#agent-status"), /refused this page: this site is not among your trusted sites/);
  assert.deepEqual([await page.locator("#provider option").count(), await page.isDisabled("#enroll")], [0, true]);
});
