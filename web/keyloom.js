// keyloom.js: the Keyloom control for bank pages, in any browser.
//
//   import { Keyloom } from "keyloom";
//   const agent = await Keyloom.connect();
//   await agent.ZENQ_SetCSPInfo(2048, "Microsoft Enhanced Cryptographic Provider v1.0");
//
// The control lives in the local agent (`keyloom agent`), reached over a
// WebSocket on 127.0.0.1 (never "localhost", which another user's program
// could answer on ::1 first); the agent admits only pages of the trusted
// sites. Every method returns a promise that resolves with the method's
// result (a string or a boolean) or rejects with a KeyloomError.
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

export const DEFAULT_PORT = 17443;
export const AGENT_HOST = "127.0.0.1";
/** How long one call may take by default: two RSA-4096 key pairs on a slow machine. */
export const DEFAULT_CALL_TIMEOUT = 180000;

/** The agent cannot be reached, refused the page, or the connection is gone. */
export const E_AGENT_UNAVAILABLE = 0x800706ba | 0;
/** A call had no answer within its timeout. */
export const E_TIMEOUT = 0x800705b4 | 0;
/** A step of enroll() that the page's own callback failed. */
export const E_FAIL = 0x80004005 | 0;

/** The steps of enroll(), in order. */
export const ENROLL_STEPS = Object.freeze(["select", "request", "issue", "envelope", "installSign", "installEncrypt"]);

// The library's own texts, in the page's language.
const TEXTS = {
  en: {
    refused: (url) =>
      `The Keyloom agent at ${url} refused this page or is not running. Only sites among the trusted sites may use it.`,
    closed: "The connection to the Keyloom agent is closed.",
    timeout: (method, ms) => `The Keyloom agent did not answer ${method} within ${ms / 1000} seconds.`,
    failed: (hr) => `Keyloom call failed (${hr}).`,
    callback: (step, why) => `The bank's server failed in step "${step}": ${why}`,
  },
  "zh-CN": {
    refused: (url) => `位于 ${url} 的 Keyloom 代理拒绝了本页面或没有运行。只有受信任站点中的网站才能使用它。`,
    closed: "与 Keyloom 代理的连接已关闭。",
    timeout: (method, ms) => `Keyloom 代理未在 ${ms / 1000} 秒内答复 ${method}。`,
    failed: (hr) => `Keyloom 调用失败（${hr}）。`,
    callback: (step, why) => `银行服务器在“${step}”步骤失败：${why}`,
  },
};

function textsFor(language) {
  const tag = String(language ?? globalThis.navigator?.language ?? "en").toLowerCase();
  return /^zh(-cn|-sg|-hans|$)/.test(tag) ? TEXTS["zh-CN"] : TEXTS.en;
}

/** "0x%08x" of a status. */
export function hexCode(number) {
  return `0x${(number >>> 0).toString(16).padStart(8, "0")}`;
}

/** A failed call of the control, of the connection to it, or a step of enroll(). */
export class KeyloomError extends Error {
  /**
   * @param {number} number the status; kept as a signed 32-bit value
   * @param {string} description the control's text (its last line may be the code)
   * @param {{method?: string, step?: string, cause?: unknown}} [detail]
   */
  constructor(number, description, detail = {}) {
    // The control ends its texts with a line holding the code; the message leaves it out.
    super(String(description).replace(/\s*\(0x[0-9a-fA-F]{8}\)\s*$/, ""),
      detail.cause === undefined ? undefined : { cause: detail.cause });
    this.name = "KeyloomError";
    this.number = number | 0;
    this.code = hexCode(number);
    this.description = String(description);
    this.method = detail.method ?? null;
    this.step = detail.step ?? null;
  }
}

/** The status of an answer's "hr" text ("0x80070057"), signed; NaN when unreadable. */
export function statusOf(hr) {
  if (typeof hr !== "string" || !/^0x[0-9a-fA-F]{1,8}$/.test(hr)) return NaN;
  return Number.parseInt(hr.slice(2), 16) | 0;
}

function event(type, fields) {
  return Object.assign(new Event(type), fields);
}

/**
 * One connection to the agent, and the one control the agent keeps for it.
 * Events: "open" when the connection is made, "close" when it ends (with
 * `code` and `reason`). reconnect() makes a new connection, and with it a
 * new control: choices made on the old one (provider, algorithm) are gone.
 */
export class KeyloomConnection extends EventTarget {
  #url;
  #socket = null;
  #pending = new Map();
  #nextId = 1;
  #callTimeout;
  #texts;
  #opening = null;

  constructor(url, { callTimeout = DEFAULT_CALL_TIMEOUT, language } = {}) {
    super();
    this.#url = url;
    this.#callTimeout = callTimeout;
    this.#texts = textsFor(language);
    /** "connecting", "open" or "closed". */
    this.state = "closed";
    for (const name of METHODS) this[name] = (...params) => this.call(name, params);
  }

  get url() {
    return this.#url;
  }

  /** Opens the connection unless it is open or opening; resolves with this connection. */
  reconnect() {
    if (this.state === "open") return Promise.resolve(this);
    if (this.#opening) return this.#opening;
    this.state = "connecting";
    this.#opening = new Promise((resolve, reject) => {
      const socket = new globalThis.WebSocket(this.#url);
      this.#socket = socket;
      let opened = false;
      socket.onopen = () => {
        opened = true;
        this.#opening = null;
        this.state = "open";
        resolve(this);
        this.dispatchEvent(event("open"));
      };
      socket.onmessage = (message) => this.#answer(message.data);
      socket.onclose = (closing) => {
        if (this.#socket !== socket) return;
        this.#socket = null;
        this.#opening = null;
        this.state = "closed";
        this.#failAll(this.#texts.closed);
        if (opened) {
          this.dispatchEvent(event("close", { code: closing?.code ?? 1006, reason: closing?.reason ?? "" }));
        } else {
          // The browser hides why a handshake failed: a refused origin (403)
          // and an agent that is not running look the same to the page.
          reject(new KeyloomError(E_AGENT_UNAVAILABLE, this.#texts.refused(this.#url)));
        }
      };
      socket.onerror = () => {}; // onclose follows and says what happened
    });
    return this.#opening;
  }

  /** Ends the connection; the agent releases the control. Pending calls reject. */
  close() {
    this.#socket?.close(1000);
  }

  /**
   * Calls a method of the control. options.timeout (milliseconds) overrides
   * the connection's call timeout for this call.
   */
  call(method, params = [], { timeout = this.#callTimeout } = {}) {
    return new Promise((resolve, reject) => {
      if (this.state !== "open" || this.#socket?.readyState !== 1) {
        reject(new KeyloomError(E_AGENT_UNAVAILABLE, this.#texts.closed, { method }));
        return;
      }
      const id = this.#nextId++;
      // A late answer finds no waiter and is dropped; the agent still
      // finishes the call before it serves the next one.
      const timer = setTimeout(() => {
        this.#pending.delete(id);
        reject(new KeyloomError(E_TIMEOUT, this.#texts.timeout(method, timeout), { method }));
      }, timeout);
      this.#pending.set(id, { method, resolve, reject, timer });
      this.#socket.send(JSON.stringify({ id, method, params }));
    });
  }

  #answer(data) {
    let answer;
    try {
      answer = JSON.parse(data);
    } catch {
      return; // not an answer of the agent's
    }
    if (!answer || typeof answer !== "object") return;
    // An answer without an id (a message the agent could not read, such as
    // one over its size limit) belongs to the oldest call: the agent
    // answers in order.
    const id = answer.id === null ? this.#pending.keys().next().value : answer.id;
    const waiter = this.#pending.get(id);
    if (!waiter) return;
    this.#pending.delete(id);
    clearTimeout(waiter.timer);
    const status = statusOf(answer.hr);
    if (status === 0) {
      waiter.resolve(answer.result);
      return;
    }
    const description = typeof answer.description === "string" ? answer.description : this.#texts.failed(answer.hr);
    waiter.reject(new KeyloomError(Number.isNaN(status) ? E_AGENT_UNAVAILABLE : status, description,
      { method: waiter.method }));
  }

  #failAll(description) {
    for (const { method, reject, timer } of this.#pending.values()) {
      clearTimeout(timer);
      reject(new KeyloomError(E_AGENT_UNAVAILABLE, description, { method }));
    }
    this.#pending.clear();
  }
}

/**
 * The whole double-certificate enrollment on one connection. Resolves with
 * { container, request, signing, encryption } (the two answers of the
 * bank's server, each with its `certificate`); rejects with a KeyloomError
 * whose `step` names the step that failed.
 */
async function enroll(connection, options) {
  const { provider, algorithm, bits, subject, issue, envelope, onProgress = () => {} } = options ?? {};
  const { signKeyFlags = 0, encryptKeyFlags = 0 } = options ?? {};
  for (const [name, value] of Object.entries({ provider, algorithm, subject }))
    if (typeof value !== "string" || value === "") throw new TypeError(`Keyloom.enroll: ${name} must be a non-empty string`);
  if (!Number.isInteger(bits)) throw new TypeError("Keyloom.enroll: bits must be a whole number");
  if (typeof issue !== "function" || typeof envelope !== "function")
    throw new TypeError("Keyloom.enroll: issue and envelope must be functions");
  const texts = textsFor(options.language);
  const run = async (step, work) => {
    const progress = (state) => onProgress({ step, state, index: ENROLL_STEPS.indexOf(step), count: ENROLL_STEPS.length });
    progress("running");
    try {
      const result = await work();
      progress("done");
      return result;
    } catch (e) {
      progress("failed");
      if (e instanceof KeyloomError) {
        e.step = step;
        throw e;
      }
      const why = e instanceof Error ? e.message : String(e);
      throw new KeyloomError(E_FAIL, texts.callback(step, why), { step, cause: e });
    }
  };
  const asAnswer = (answer, fields) => {
    const object = typeof answer === "string" ? { certificate: answer } : answer;
    for (const field of fields)
      if (typeof object?.[field] !== "string") throw new TypeError(`the answer has no "${field}" text`);
    return object;
  };

  await run("select", async () => {
    await connection.ZENQ_SetCSPInfo(bits, provider);
    await connection.ZENQ_SetKeyAlgorithm(algorithm);
  });
  // 2: a double certificate (a temporary exchange key for the envelope and the signing key).
  const { request, container } = await run("request", async () => ({
    request: await connection.ZENQ_PKCS10CertRequisition(subject, 2, signKeyFlags),
    container: await connection.ZENQ_GetContainer(),
  }));
  const query = { request, provider, algorithm, bits, subject };
  const signing = await run("issue", async () => asAnswer(await issue(query), ["certificate"]));
  const encryption = await run("envelope", async () => asAnswer(await envelope(query), ["certificate", "envelope"]));
  // 2: the certificate belongs to the request's signing key.
  await run("installSign", () => connection.ZENQ_ImportSignCert(2, signing.certificate, container));
  await run("installEncrypt", () =>
    connection.ZENQ_ImportEncryptCert(encryption.envelope, encryption.certificate, container, encryptKeyFlags));
  return { container, request, signing, encryption };
}

export const Keyloom = Object.freeze({
  METHODS,
  ENROLL_STEPS,
  KeyloomError,
  /**
   * Connects to the agent on 127.0.0.1. options: port (17443), callTimeout
   * (milliseconds per call), language (of the library's own texts; the
   * browser's by default). Resolves with a KeyloomConnection; rejects with
   * a KeyloomError (E_AGENT_UNAVAILABLE) when the agent refuses the page or
   * cannot be reached.
   */
  connect(options = {}) {
    const { port = DEFAULT_PORT, host = AGENT_HOST } = options;
    if (host !== AGENT_HOST)
      return Promise.reject(new RangeError(`Keyloom.connect: the agent is reached at ${AGENT_HOST} only, not ${host}`));
    if (!Number.isInteger(port) || port < 1 || port > 65535)
      return Promise.reject(new RangeError(`Keyloom.connect: port must be 1 to 65535, not ${port}`));
    return new KeyloomConnection(`ws://${AGENT_HOST}:${port}/`, options).reconnect();
  },
  enroll,
});

export default Keyloom;
