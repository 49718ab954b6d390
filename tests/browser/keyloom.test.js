// keyloom.js without a browser: the global WebSocket and ActiveXObject it
// looks for are stand-ins that record what the module sends.
import assert from "node:assert/strict";
import { afterEach, test } from "node:test";
import { Keyloom, statusOf, E_AGENT_UNAVAILABLE } from "../../web/keyloom.js";

test("statusOf reads the hr text as script engines report it (signed)", () => {
  const rows = [
    ["0x00000000", 0],
    ["0x80070057", -2147024809], // E_INVALIDARG
    ["0xa0072401", -1610144767], // invalid key algorithm
    ["0x800706ba", E_AGENT_UNAVAILABLE],
    ["80070057", NaN],
    ["0x", NaN],
    ["0x1000000000", NaN],
    [-2147024809, NaN],
  ];
  for (const [hr, expected] of rows) assert.equal(statusOf(hr), expected, String(hr));
});

class FakeSocket {
  static last;
  constructor(url) {
    Object.assign(this, { url, sent: [], readyState: 0 });
    FakeSocket.last = this;
  }
  send(text) { this.sent.push(JSON.parse(text)); }
  close() { this.readyState = 3; this.onclose?.({ code: 1000 }); }
  accept() { this.readyState = 1; this.onopen(); }
  answer(message) { this.onmessage({ data: JSON.stringify(message) }); }
}
afterEach(() => { delete globalThis.WebSocket; delete globalThis.ActiveXObject; });

test("calls over the agent resolve with results and reject with number and description", async () => {
  globalThis.WebSocket = FakeSocket;
  const connecting = Keyloom.connect({ port: 17500 });
  const socket = FakeSocket.last;
  assert.equal(socket.url, "ws://127.0.0.1:17500/");
  socket.accept();
  const agent = await connecting;
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
  await assert.rejects(bad, { number: -1610144767, description: "Invalid key algorithm.\n(0xa0072401)",
    message: "Invalid key algorithm.\n(0xa0072401)" });
  // An answer without id (a message too large to read) is the oldest call's.
  socket.answer({ id: null, hr: "0x80070018", result: null, description: "The message is too large." });
  await assert.rejects(oldest, { number: -2147024872, description: "The message is too large." });
  const lost = agent.ZENQ_GetContainer();
  socket.close();
  await assert.rejects(lost, { number: E_AGENT_UNAVAILABLE });
  await assert.rejects(agent.GetLastErrorDesc(), { number: E_AGENT_UNAVAILABLE });
});

test("a handshake the agent refuses rejects connect", async () => {
  globalThis.WebSocket = FakeSocket;
  const connecting = Keyloom.connect({ host: "::1" });
  assert.equal(FakeSocket.last.url, "ws://[::1]:17443/");
  FakeSocket.last.close();
  await assert.rejects(connecting, { number: E_AGENT_UNAVAILABLE, message: /refused this page or is not running/ });
  await assert.rejects(Keyloom.connect({ port: 70000 }), RangeError);
});

test("where the browser has ActiveXObject, the in-process control answers the same way", async () => {
  const created = [];
  globalThis.ActiveXObject = function (progId) {
    created.push(progId);
    return {
      ZENQ_GetContainer: () => "{0C5F}",
      ZENQ_SetKeyAlgorithm() {
        throw Object.assign(new Error("x"), { number: -1610144767, description: "Invalid key algorithm." });
      },
    };
  };
  const agent = await Keyloom.connect();
  assert.deepEqual(created, ["Keyloom.CryptoAgent.Tessel_V1.X64"]);
  assert.equal(await agent.ZENQ_GetContainer(), "{0C5F}");
  await assert.rejects(agent.ZENQ_SetKeyAlgorithm("ECC"), { number: -1610144767, message: "Invalid key algorithm." });
});
