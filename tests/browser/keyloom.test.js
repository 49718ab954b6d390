// keyloom.js without a browser: the global WebSocket it uses is a stand-in
// that records what the module sends and answers as the agent would.
import assert from "node:assert/strict";
import { afterEach, test } from "node:test";
import { Keyloom, KeyloomError, E_AGENT_UNAVAILABLE, E_TIMEOUT, E_FAIL } from "../../web/keyloom.js";

class FakeSocket {
  static last;
  constructor(url) {
    Object.assign(this, { url, sent: [], readyState: 0 });
    FakeSocket.last = this;
  }
  send(text) { this.sent.push(JSON.parse(text)); }
  close(code = 1000) { this.readyState = 3; this.onclose?.({ code, reason: "" }); }
  accept() { this.readyState = 1; this.onopen(); }
  answer(message) { this.onmessage({ data: JSON.stringify(message) }); }
}
afterEach(() => { delete globalThis.WebSocket; });

async function connected(options) {
  globalThis.WebSocket = FakeSocket;
  const connecting = Keyloom.connect(options);
  FakeSocket.last.accept();
  return connecting;
}

test("calls resolve with results and reject with KeyloomErrors matched by id", async () => {
  const agent = await connected({ port: 17500 });
  const socket = FakeSocket.last;
  assert.equal(socket.url, "ws://127.0.0.1:17500/");
  const set = agent.ZENQ_SetCSPInfo(2048, "Keyloom SM2 Token Provider");
  const bad = agent.ZENQ_SetKeyAlgorithm("ECC");
  const oldest = agent.ZENQ_GetCSPInfo();
  assert.deepEqual(socket.sent, [
    { id: 1, method: "ZENQ_SetCSPInfo", params: [2048, "Keyloom SM2 Token Provider"] },
    { id: 2, method: "ZENQ_SetKeyAlgorithm", params: ["ECC"] },
    { id: 3, method: "ZENQ_GetCSPInfo", params: [] },
  ]);
  socket.answer({ id: 2, hr: "0xa0072401", result: null, description: "Invalid key algorithm.\n(0xa0072401)" });
  socket.answer({ id: 1, hr: "0x00000000", result: true });
  assert.equal(await set, true);
  const error = await bad.catch((e) => e);
  assert.ok(error instanceof KeyloomError && error instanceof Error);
  assert.deepEqual({ ...error, message: error.message }, { name: "KeyloomError", number: -1610144767,
    code: "0xa0072401", description: "Invalid key algorithm.\n(0xa0072401)", method: "ZENQ_SetKeyAlgorithm",
    step: null, message: "Invalid key algorithm." });
  // An answer without id (a message too large to read) is the oldest call's.
  socket.answer({ id: null, hr: "0x80070018", result: null, description: "The message is too large." });
  await assert.rejects(oldest, { number: -2147024872, code: "0x80070018", method: "ZENQ_GetCSPInfo" });
});

test("a call without an answer times out; a late answer is dropped", async () => {
  const agent = await connected({ callTimeout: 20 });
  const slow = agent.ZENQ_GetContainer();
  const quick = agent.call("ZENQ_GetContainer", [], { timeout: 100000 });
  await assert.rejects(slow, { number: E_TIMEOUT, method: "ZENQ_GetContainer" });
  FakeSocket.last.answer({ id: 1, hr: "0x00000000", result: "late" });
  FakeSocket.last.answer({ id: 2, hr: "0x00000000", result: "{0C5F}" });
  assert.equal(await quick, "{0C5F}");
});

test("a lost connection fails its calls, says close, and reconnect opens a new one", async () => {
  const agent = await connected();
  const events = [];
  agent.addEventListener("close", (e) => events.push(`close ${e.code}`));
  agent.addEventListener("open", () => events.push("open"));
  const lost = agent.ZENQ_GetContainer();
  FakeSocket.last.close(1006);
  await assert.rejects(lost, { number: E_AGENT_UNAVAILABLE });
  assert.equal(agent.state, "closed");
  const again = agent.reconnect();
  FakeSocket.last.accept();
  assert.equal(await again, agent);
  assert.deepEqual([...events, agent.state], ["close 1006", "open", "open"]);
});

test("connect refuses other hosts than 127.0.0.1; a refused handshake rejects in the page's language", async () => {
  globalThis.WebSocket = FakeSocket;
  await assert.rejects(Keyloom.connect({ host: "localhost" }), RangeError);
  await assert.rejects(Keyloom.connect({ port: 70000 }), RangeError);
  const connecting = Keyloom.connect({ language: "zh-CN" });
  FakeSocket.last.close(1006);
  await assert.rejects(connecting, { number: E_AGENT_UNAVAILABLE, message: /拒绝了本页面或没有运行/ });
});

test("enroll runs the six steps with the control's arguments and names the failed step", async () => {
  const agent = await connected();
  const socket = FakeSocket.last;
  // The agent answers each call as it comes: results by method.
  const results = { ZENQ_PKCS10CertRequisition: "MIIB", ZENQ_GetContainer: "{C1}" };
  const send = socket.send.bind(socket);
  socket.send = (text) => {
    send(text);
    const { id, method } = JSON.parse(text);
    queueMicrotask(() => socket.answer(method === "ZENQ_ImportEncryptCert"
      ? { id, hr: "0x80090005", result: null, description: "Bad Data.\n(0x80090005)" }
      : { id, hr: "0x00000000", result: results[method] ?? true }));
  };
  const progress = [];
  const options = {
    provider: "Keyloom SM2 Token Provider", algorithm: "SM2", bits: 256, subject: "CN=Li Si,C=CN",
    issue: async ({ request }) => `sign-for-${request}`,
    envelope: async () => ({ certificate: "enc", envelope: "env" }),
    onProgress: ({ step, state }) => progress.push(`${step} ${state}`),
  };
  const failed = await Keyloom.enroll(agent, options).catch((e) => e);
  assert.deepEqual(socket.sent.map(({ method, params }) => [method, ...params]), [
    ["ZENQ_SetCSPInfo", 256, "Keyloom SM2 Token Provider"],
    ["ZENQ_SetKeyAlgorithm", "SM2"],
    ["ZENQ_PKCS10CertRequisition", "CN=Li Si,C=CN", 2, 0],
    ["ZENQ_GetContainer"],
    ["ZENQ_ImportSignCert", 2, "sign-for-MIIB", "{C1}"],
    ["ZENQ_ImportEncryptCert", "env", "enc", "{C1}", 0],
  ]);
  assert.deepEqual({ step: failed.step, method: failed.method, code: failed.code, message: failed.message },
    { step: "installEncrypt", method: "ZENQ_ImportEncryptCert", code: "0x80090005", message: "Bad Data." });
  assert.deepEqual(progress.slice(-3), ["installSign done", "installEncrypt running", "installEncrypt failed"]);
  // The bank's callback failing, or answering without a certificate, is its step's KeyloomError.
  for (const issue of [async () => { throw new Error("HTTP 422"); }, async () => ({ serial: "01" })]) {
    const error = await Keyloom.enroll(agent, { ...options, issue }).catch((e) => e);
    assert.ok(error instanceof KeyloomError, String(error));
    assert.deepEqual([error.step, error.number], ["issue", E_FAIL]);
  }
  socket.send = send;
});
