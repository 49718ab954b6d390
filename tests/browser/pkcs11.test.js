// "Keyloom PKCS#11 Token Provider" on the demo site through the agent: the
// keys go onto the SoftHSM2 token scripts/browser-test makes for the run;
// its scripted pinentry answers the PIN prompt and records it.
import { readFileSync } from "node:fs";
import assert from "node:assert/strict";
import { test } from "node:test";
import { enroll, launch, openSite } from "./chromium.js";

const { KEYLOOM_SITE_PORT: SITE, KEYLOOM_AGENT_PORT: AGENT, KEYLOOM_TEST_PROMPTS } = process.env;

test("RSA 2048 double-certificate enrollment on a PKCS#11 token through the agent", async () => {
  const page = await (await launch("en-US")).newPage();
  const answers = await openSite(page, `http://127.0.0.1:${SITE}/?agent=${AGENT}`);
  await page.selectOption("#provider", "Keyloom PKCS#11 Token Provider");
  const { sign } = await enroll(page, answers, "2048", "Wang Wu");
  assert.match(sign.cells[6], /\S/); // the container
  // One login for the whole connection: the PIN was asked once, naming the
  // token. (What lands on the token is the native suite's: tests/pkcs11.)
  assert.equal(readFileSync(KEYLOOM_TEST_PROMPTS, "utf8"), 'Enter the PIN of the token "Keyloom Browser".\n');
});
