// keyloom.js: the Keyloom control for bank pages, in any browser.
//
//   import { Keyloom } from "./keyloom.js";
//   const agent = await Keyloom.connect({ port: 17443 });
//   await agent.ZENQ_SetCSPInfo(2048, "Microsoft Enhanced Cryptographic Provider v1.0");
//
// Off Windows (and in browsers that do not load in-process controls) the
// control lives in the local agent (`keyloom agent`), reached over a
// WebSocket on loopback; the agent admits only pages of the trusted sites.
// Where the page's browser loads the in-process control, connect() can
// create it directly. Either way every method returns a promise: it
// resolves with the method's result (a string or a boolean) and rejects
// with an Error whose `number` is the status as a signed 32-bit value, as
// script engines report a failed call, and whose `description` (and
// `message`) is the control's text for it.
//
// No dependencies; a plain ES module.

/** The control's methods, in the order of its interface. */
export const METHODS = Object.freeze([
  "ZENQ_CheckCertificateChain",
  "ZENQ_GetCSPInfo",
  "ZENQ_SetCSPInfo",
  "ZENQ_SetKeyAlgorithm",
  "ZENQ_GetTempPublickey",
  "ZENQ_ImportEncryptCert",
  "ZENQ_GetContainer",
  "ZENQ_ImportSignCert",
  "ZENQ_PKCS10CertRequisition",
  "ZENQ_GetAllCertInfo",
  "ZENQ_HavePermissiontoGenerateKeyPair",
  "ZENQ_PKCS10CertRequisitionwithMD5",
  "GetLastErrorDesc",
]);

/** The programmatic identifier of the in-process control. */
export const PROG_ID = "Keyloom.CryptoAgent.Tessel_V1.X64";

export const DEFAULT_PORT = 17443;
export const DEFAULT_HOST = "127.0.0.1";

// The status a call gets when the connection to the agent is gone
// (RPC_S_SERVER_UNAVAILABLE as a status), and when connect() fails.
export const E_AGENT_UNAVAILABLE = 0x800706ba | 0;

/**
 * An Error as script engines raise for a failed control call.
 * @param {number} number status; kept as a signed 32-bit value
 * @param {string} description the text
 */
export function controlError(number, description) {
  const error = new Error(description);
  error.name = "KeyloomError";
  error.number = number | 0;
  error.description = description;
  return error;
}

/** The status of an answer's "hr" text ("0x80070057"), signed; NaN when unreadable. */
export function statusOf(hr) {
  if (typeof hr !== "string" || !/^0x[0-9a-fA-F]{1,8}$/.test(hr)) return NaN;
  return Number.parseInt(hr.slice(2), 16) | 0;
}

function bindMethods(call, close) {
  const agent = { close };
  for (const name of METHODS) agent[name] = (...params) => call(name, params);
  return Object.freeze(agent);
}

// The agent over a WebSocket: one control per connection, answers matched
// to calls by id (the agent answers in order, but ids keep that honest).
function overWebSocket(url, WebSocketClass) {
  return new Promise((resolve, reject) => {
    const socket = new WebSocketClass(url);
    const pending = new Map();
    let nextId = 1;
    let open = false;

    const failAll = (description) => {
      for (const { reject: fail } of pending.values())
        fail(controlError(E_AGENT_UNAVAILABLE, description));
      pending.clear();
    };

    socket.onopen = () => {
      open = true;
      const call = (method, params) =>
        new Promise((resolveCall, rejectCall) => {
          if (socket.readyState !== 1) {
            rejectCall(controlError(E_AGENT_UNAVAILABLE, "The connection to the Keyloom agent is closed."));
            return;
          }
          const id = nextId++;
          pending.set(id, { resolve: resolveCall, reject: rejectCall });
          socket.send(JSON.stringify({ id, method, params }));
        });
      resolve(bindMethods(call, () => socket.close(1000)));
    };

    socket.onmessage = (event) => {
      let answer;
      try {
        answer = JSON.parse(event.data);
      } catch {
        return; // not an answer of the agent's
      }
      if (!answer || typeof answer !== "object") return;
      // An answer without an id (a message the agent could not read, such
      // as one over its size limit) belongs to the oldest call: the agent
      // answers in order.
      const id = answer.id === null ? pending.keys().next().value : answer.id;
      const waiter = pending.get(id);
      if (!waiter) return;
      pending.delete(id);
      const status = statusOf(answer.hr);
      if (status === 0) {
        waiter.resolve(answer.result);
      } else {
        const description =
          typeof answer.description === "string" ? answer.description : `Keyloom call failed (${answer.hr})`;
        waiter.reject(controlError(Number.isNaN(status) ? E_AGENT_UNAVAILABLE : status, description));
      }
    };

    socket.onclose = () => {
      if (!open) {
        // The browser hides why a handshake failed: a refused origin (403)
        // and an agent that is not running look the same to the page.
        reject(
          controlError(
            E_AGENT_UNAVAILABLE,
            `The Keyloom agent at ${url} refused this page or is not running. ` +
              "Only sites in the trusted sites may use it.",
          ),
        );
      }
      failAll("The connection to the Keyloom agent closed.");
    };
    socket.onerror = () => {}; // onclose follows and says what happened
  });
}

// The in-process control: its calls are synchronous; a failed one throws an
// error that already carries number and description.
function overActiveX(ActiveX) {
  let control;
  try {
    control = new ActiveX(PROG_ID);
  } catch (e) {
    return Promise.reject(
      controlError(e && e.number !== undefined ? e.number : E_AGENT_UNAVAILABLE,
        `The Keyloom control cannot be created: ${(e && (e.description || e.message)) || e}`),
    );
  }
  const call = (method, params) =>
    new Promise((resolve, reject) => {
      try {
        resolve(control[method](...params));
      } catch (e) {
        reject(controlError(e && e.number !== undefined ? e.number : E_AGENT_UNAVAILABLE,
          (e && (e.description || e.message)) || String(e)));
      }
    });
  return Promise.resolve(bindMethods(call, () => {
    control = null;
  }));
}

export const Keyloom = Object.freeze({
  METHODS,
  /**
   * Connects to the control.
   * options.port (17443) and options.host ("127.0.0.1") locate the agent;
   * options.transport: "auto" (default: the in-process control where the
   * browser has ActiveXObject, else the agent), "agent" or "activex".
   * Resolves with an object holding one promise-returning function per
   * method and close(); rejects with an Error (number E_AGENT_UNAVAILABLE)
   * when the agent refuses the page or cannot be reached.
   */
  connect(options = {}) {
    const { port = DEFAULT_PORT, host = DEFAULT_HOST, transport = "auto" } = options;
    const ActiveX = globalThis.ActiveXObject;
    if (transport === "activex" || (transport === "auto" && typeof ActiveX === "function"))
      return overActiveX(ActiveX);
    if (!Number.isInteger(port) || port < 1 || port > 65535)
      return Promise.reject(new RangeError(`Keyloom.connect: port must be 1 to 65535, not ${port}`));
    const name = host.includes(":") && !host.startsWith("[") ? `[${host}]` : host;
    return overWebSocket(`ws://${name}:${port}/`, globalThis.WebSocket);
  },
});

export default Keyloom;
