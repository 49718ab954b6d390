// "Keyloom PKCS#11 Token Provider" in Chromium through the agent: a page of
// the trusted site calls the control's methods over the agent's socket and
// the authority's endpoints, as the bank's page does. The keys go onto the
// SoftHSM2 token scripts/browser-test makes for the run; its scripted
// pinentry answers the PIN prompt and records it.
import { readFileSync } from "node:fs";
import assert from "node:assert/strict";
import { test } from "node:test";
import { launch } from "./chromium.js";

const PROVIDER = "Keyloom PKCS#11 Token Provider";

test("RSA 2048 double-certificate enrollment on a PKCS#11 token through the agent", async () => {
  const page = await (await launch("en-US", [], { bypassCSP: true })).newPage();
  await page.goto(`http://127.0.0.1:${process.env.KEYLOOM_SITE_PORT}/`);
  const enrolled = await page.evaluate(async ({ port, provider }) => {
    const ws = new WebSocket(`ws://127.0.0.1:${port}/`);
    await new Promise((resolve, reject) => { ws.onopen = resolve; ws.onclose = () => reject(new Error("refused")); });
    const waiting = new Map();
    let id = 0;
    ws.onmessage = (e) => { const m = JSON.parse(e.data); waiting.get(m.id)(m); };
    const call = async (method, ...params) => {
      const m = await new Promise((resolve) => { waiting.set(++id, resolve); ws.send(JSON.stringify({ id, method, params })); });
      if (m.hr !== "0x00000000") throw new Error(`${method}: ${m.hr} ${m.description}`);
      return m.result;
    };
    const authority = (path, body) => fetch(path, { method: "POST", headers: { "Content-Type": "application/json" },
      body: JSON.stringify(body) }).then((r) => r.json());
    await call("ZENQ_SetCSPInfo", 2048, provider);
    await call("ZENQ_SetKeyAlgorithm", "RSA");
    const request = await call("ZENQ_PKCS10CertRequisition", "CN=Wang Wu,OU=Online Banking,O=Keyloom Bank,C=CN", 2, 0);
    const container = await call("ZENQ_GetContainer");
    const signing = await authority("/api/issue", { request });
    const encryption = await authority("/api/envelope", { request, algorithm: "RSA", bits: 2048 });
    await call("ZENQ_ImportSignCert", 2, signing.certificate, container);
    await call("ZENQ_ImportEncryptCert", encryption.envelope, encryption.certificate, container, 0);
    ws.close();
    return { container };
  }, { port: Number(process.env.KEYLOOM_AGENT_PORT), provider: PROVIDER });

  // One login for the whole connection: the PIN was asked once, naming the
  // token. (What lands on the token is the native suite's: tests/pkcs11.)
  assert.equal(readFileSync(process.env.KEYLOOM_TEST_PROMPTS, "utf8"), 'Enter the PIN of the token "Keyloom Browser".\n');
  assert.match(enrolled.container, /\S/);
});
