// The bank's enrollment page: a double-certificate enrollment through the
// Keyloom control, step by step, in English or Simplified Chinese. The
// control's own texts come from the control in the browser's language; the
// page's texts come from the tables below.
import { Keyloom, KeyloomError, E_AGENT_UNAVAILABLE, E_TIMEOUT, ENROLL_STEPS } from "/keyloom.js";

const TEXTS = {
  en: {
    title: "Keyloom Bank: your online banking certificates",
    agentHeading: "Security control",
    connecting: "Connecting to the Keyloom security control…",
    connected: "The Keyloom security control is ready.",
    refused:
      "The Keyloom security control refused this page: this site is not among your trusted sites, " +
      "or the Keyloom agent is not running.",
    choices: "Your certificates",
    choicesHelp: "You receive two certificates: one to sign with and one to encrypt with.",
    provider: "Provider of your keys",
    algorithm: "Key algorithm",
    bits: "Key length (bits)",
    name: "Your name",
    nameHelp: "As on your bank card; no commas, slashes or equals signs.",
    enroll: "Request and install my certificates",
    progress: "Progress",
    stepSelect: "Choose the provider, key length and algorithm",
    stepRequest: "Make the key pairs and the certificate request",
    stepIssue: "The bank issues your signing certificate",
    stepEnvelope: "The bank makes your encryption certificate and its key envelope",
    stepSign: "Install the signing certificate",
    stepEncrypt: "Install the encryption certificate and its key",
    stepList: "Read the certificates on this computer",
    pending: "waiting",
    running: "in progress",
    ok: "done",
    failed: "failed",
    controlFailed: "The security control could not complete this step:",
    authorityFailed: "The bank's certification authority refused the request:",
    unreachable: "The bank could not be reached. Please try again.",
    agentLost: "The connection to the Keyloom security control was lost. It comes back by itself when the agent runs again, or press Reconnect.",
    lost: "The connection to the Keyloom security control is lost.",
    blocked:
      "Your browser did not let this page reach the Keyloom security control on this computer. " +
      "Allow this site to access devices on your local network (in the browser's prompt, or in the " +
      "site settings by the address bar), then press Reconnect.",
    reconnect: "Reconnect",
    timedOut: "The security control took too long to answer. Please try again.",
    badLength: "This provider does not take keys of that length. Choose another length or provider.",
    badAlgorithm: "This provider does not make keys of that algorithm. Choose another provider.",
    codeDetail: "Code for the bank's support:",
    onToken: "(kept on the token)",
    badName: "Please enter your name without commas, slashes, plus or equals signs.",
    noProviders: "No key provider is installed on this computer.",
    finished: "Both certificates are installed.",
    certsHeading: "Certificates on this computer",
    colUse: "Use",
    colFromUtc: "Valid from (UTC)",
    colToUtc: "Valid to (UTC)",
    colContainer: "Key container",
    issuedHeading: "Your new certificates",
    certsHelp:
      "The list shows the certificates of your personal store that have a key; " +
      "a token provider keeps its certificates with its keys.",
    colSubject: "Subject",
    colSerial: "Serial number",
    colFrom: "Valid from",
    colTo: "Valid to",
    colProvider: "Provider",
    useSign: "signing",
    useEncrypt: "encryption",
    noCerts: "No certificate has been read yet.",
    emptyList: "There is no certificate with a key on this computer.",
  },
  "zh-CN": {
    title: "Keyloom 银行：您的网上银行证书",
    agentHeading: "安全控件",
    connecting: "正在连接 Keyloom 安全控件…",
    connected: "Keyloom 安全控件已就绪。",
    refused: "Keyloom 安全控件拒绝了本页面：本网站不在您的受信任站点中，或 Keyloom 代理没有运行。",
    choices: "您的证书",
    choicesHelp: "您将获得两张证书：一张用于签名，一张用于加密。",
    provider: "密钥提供程序",
    algorithm: "密钥算法",
    bits: "密钥长度（位）",
    name: "您的姓名",
    nameHelp: "与银行卡上一致；不能含有逗号、斜杠或等号。",
    enroll: "申请并安装我的证书",
    progress: "进度",
    stepSelect: "选择提供程序、密钥长度和算法",
    stepRequest: "生成密钥对和证书请求",
    stepIssue: "银行签发您的签名证书",
    stepEnvelope: "银行生成您的加密证书及其密钥信封",
    stepSign: "安装签名证书",
    stepEncrypt: "安装加密证书及其私钥",
    stepList: "读取本机的证书",
    pending: "等待中",
    running: "进行中",
    ok: "已完成",
    failed: "失败",
    controlFailed: "安全控件未能完成此步骤：",
    authorityFailed: "银行的证书认证机构拒绝了请求：",
    unreachable: "无法连接银行，请重试。",
    agentLost: "与 Keyloom 安全控件的连接已断开。代理重新运行后会自动恢复，也可以点击“重新连接”。",
    lost: "与 Keyloom 安全控件的连接已断开。",
    blocked:
      "您的浏览器不允许本页面访问本机上的 Keyloom 安全控件。请允许本网站访问您本地网络上的设备" +
      "（在浏览器的提示中，或在地址栏旁的网站设置中），然后点击“重新连接”。",
    reconnect: "重新连接",
    timedOut: "安全控件长时间没有答复，请重试。",
    badLength: "此提供程序不支持该密钥长度，请选择其他长度或提供程序。",
    badAlgorithm: "此提供程序不能生成该算法的密钥，请选择其他提供程序。",
    codeDetail: "供银行客服参考的代码：",
    onToken: "（保存在令牌中）",
    badName: "请输入姓名，不要含有逗号、斜杠、加号或等号。",
    noProviders: "本机没有安装密钥提供程序。",
    finished: "两张证书均已安装。",
    certsHeading: "本机的证书",
    colUse: "用途",
    colFromUtc: "生效时间（UTC）",
    colToUtc: "失效时间（UTC）",
    colContainer: "密钥容器",
    issuedHeading: "您的新证书",
    certsHelp: "列表显示您的个人证书库中带私钥的证书；令牌类提供程序将证书与其密钥一同保存。",
    colSubject: "主题",
    colSerial: "序列号",
    colFrom: "生效时间",
    colTo: "失效时间",
    colProvider: "提供程序",
    useSign: "签名",
    useEncrypt: "加密",
    noCerts: "尚未读取证书。",
    emptyList: "本机没有带私钥的证书。",
  },
};

const STEPS = ["stepSelect", "stepRequest", "stepIssue", "stepEnvelope", "stepSign", "stepEncrypt", "stepList"];
const $ = (id) => document.getElementById(id);

const state = {
  lang: navigator.language && navigator.language.toLowerCase().startsWith("zh") ? "zh-CN" : "en",
  agentState: "connecting", // connecting | connected | refused | blocked | lost
  steps: STEPS.map(() => "pending"),
  error: null, // { key, detail, code }: the page's words, the control's or authority's text, the status
  finished: false,
  certs: null, // records of the last listing
  issued: [], // this visit's certificates: { use, subject, serial, validFrom, validTo, provider, container }
};
let agent = null;

const text = (key) => TEXTS[state.lang][key] ?? TEXTS.en[key] ?? key;

function render() {
  document.documentElement.lang = state.lang;
  document.title = text("title");
  for (const node of document.querySelectorAll("[data-text]")) node.textContent = text(node.dataset.text);
  $("lang-en").setAttribute("aria-pressed", String(state.lang === "en"));
  $("lang-zh").setAttribute("aria-pressed", String(state.lang === "zh-CN"));

  const status = $("agent-status");
  status.dataset.state = state.agentState;
  status.textContent = text(state.agentState);
  $("reconnect").hidden = !["lost", "refused", "blocked"].includes(state.agentState);

  const list = $("steps");
  list.replaceChildren(
    ...STEPS.map((key, i) => {
      const item = document.createElement("li");
      item.dataset.step = key;
      item.dataset.state = state.steps[i];
      item.textContent = `${text(key)} — ${text(state.steps[i])}`;
      if (state.steps[i] === "running") item.setAttribute("aria-current", "step");
      return item;
    }),
  );

  const error = $("error");
  error.hidden = !state.error;
  $("error-text").textContent = state.error ? `${text(state.error.key)} ${state.error.detail ?? ""}`.trim() : "";
  $("error-code").hidden = !state.error?.code;
  $("error-code").textContent = state.error?.code ? `${text("codeDetail")} ${state.error.code}` : "";
  $("done").hidden = !state.finished;
  $("done").textContent = text("finished");

  $("issued-section").hidden = state.issued.length === 0;
  fillTable($("issued"), state.issued.map((c) =>
    [c.use, [text(c.use), c.subject, c.serial, c.validFrom, c.validTo, c.provider, c.container]]));
  // The listing shows the personal store; a token keeps its certificates
  // with its keys, so this visit's token certificates are added to it.
  const listed = (state.certs ?? []).map((fields) => {
    const use = state.issued.find((c) => c.serial === fields[1])?.use;
    return [use ?? "", [use ? text(use) : "", ...fields]];
  });
  const onToken = state.certs === null ? [] : state.issued
    .filter((c) => !(state.certs ?? []).some((fields) => fields[1] === c.serial))
    .map((c) => [c.use, [text(c.use), c.subject, c.serial, c.validFrom, c.validTo, `${c.provider} ${text("onToken")}`]]);
  fillTable($("certs"), [...listed, ...onToken]);
  $("no-certs").hidden = state.certs !== null && listed.length + onToken.length > 0;
  if (state.certs !== null) $("no-certs").textContent = text("emptyList");
}

// Fills a table's body with rows of [use, cells]; data-use says "sign" or
// "encrypt" for this visit's certificates.
function fillTable(table, rows) {
  table.tBodies[0].replaceChildren(
    ...rows.map(([use, cells]) => {
      const row = document.createElement("tr");
      row.dataset.use = { useSign: "sign", useEncrypt: "encrypt" }[use] ?? "";
      for (const value of cells) {
        const cell = document.createElement("td");
        cell.textContent = value;
        row.append(cell);
      }
      return row;
    }),
  );
}

// What the control takes from each provider (its key-length rules, and
// the algorithms the provider makes keys of), the usual choice first.
// null: a provider this page does not offer (the AES provider cannot be
// opened as the type the control asks for).
function providerRules(provider) {
  if (provider.includes("AES")) return null;
  if (provider.includes("Microsoft"))
    return { RSA: provider.includes("Base") ? [1024, 512] : [2048, 1024, 4096] };
  if (provider.includes("SM2")) return { SM2: [256] };
  return { RSA: [2048, 1024] };
}

function fillOptions(select, values) {
  const before = select.value;
  select.replaceChildren(
    ...values.map((value) => {
      const option = document.createElement("option");
      option.value = option.textContent = String(value);
      return option;
    }),
  );
  if (values.map(String).includes(before)) select.value = before;
}

// Provider first; then the algorithms and lengths its rules allow.
function offerChoices() {
  const rules = providerRules($("provider").value) ?? {};
  fillOptions($("algorithm"), Object.keys(rules));
  fillOptions($("bits"), rules[$("algorithm").value] ?? []);
}

function setControls(enabled) {
  for (const id of ["provider", "algorithm", "bits", "name", "enroll"]) $(id).disabled = !enabled;
}

// The listing: records "subject;serial;from;to;provider" joined by "||".
function parseListing(listing) {
  return listing ? listing.split("||").map((record) => record.split(";")) : [];
}

async function authority(path, query) {
  let response;
  try {
    response = await fetch(path, {
      method: "POST",
      headers: { "Content-Type": "application/json" },
      body: JSON.stringify({ request: query.request, algorithm: query.algorithm, bits: query.bits }),
    });
  } catch {
    throw Object.assign(new Error("unreachable"), { page: { key: "unreachable" } });
  }
  const answer = await response.json().catch(() => ({}));
  if (!response.ok)
    throw Object.assign(new Error("refused"), { page: { key: "authorityFailed", detail: answer.error ?? `HTTP ${response.status}` } });
  return answer;
}

// The page's words for a failure, the control's own text and the code as details.
function explain(e) {
  if (e instanceof KeyloomError && e.cause?.page) return e.cause.page;
  if (!(e instanceof KeyloomError)) return { key: "controlFailed", detail: String(e) };
  if (e.number === E_AGENT_UNAVAILABLE) return { key: "agentLost" };
  if (e.number === E_TIMEOUT) return { key: "timedOut", code: e.code };
  const plain = { "0xa0072400": "badLength", "0xa0072401": "badAlgorithm" }[e.code];
  return plain ? { key: plain, code: e.code } : { key: "controlFailed", detail: e.message, code: e.code };
}

async function enroll() {
  const name = $("name").value.trim();
  const badName = !name || /[,=/+;"\\]/.test(name);
  $("name").setAttribute("aria-invalid", String(badName));
  if (badName) {
    state.error = { key: "badName" };
    render();
    $("name").focus();
    return;
  }
  const provider = $("provider").value;
  const algorithm = $("algorithm").value;
  const bits = Number($("bits").value);
  Object.assign(state, { steps: STEPS.map(() => "pending"), error: null, finished: false });
  setControls(false);
  const issued = [];
  const keep = (use, answer) => issued.push({ use, provider, ...answer });
  try {
    const result = await Keyloom.enroll(agent, {
      provider, algorithm, bits, subject: `CN=${name},OU=Online Banking,O=Keyloom Bank,C=CN`,
      issue: (query) => authority("/api/issue", query),
      envelope: (query) => authority("/api/envelope", query),
      onProgress: ({ index, state: stepState }) => {
        state.steps[index] = { done: "ok" }[stepState] ?? stepState;
        render();
      },
    });
    keep("useSign", { ...result.signing, container: result.container });
    keep("useEncrypt", { ...result.encryption, container: result.container });
    state.issued.push(...issued);
    const last = ENROLL_STEPS.length;
    state.steps[last] = "running";
    render();
    state.certs = parseListing(await agent.ZENQ_GetAllCertInfo());
    state.steps[last] = "ok";
    state.finished = true;
  } catch (e) {
    const failed = state.steps.indexOf("running");
    if (failed >= 0) state.steps[failed] = "failed";
    state.error = explain(e);
  } finally {
    setControls(state.agentState === "connected");
    render();
  }
}

// True when the browser holds this page back from the agent on this
// computer: a page on a public address needs the user's local-network
// permission ("loopback-network" in current Chromium, "local-network-access"
// before), and the browser says when it was refused. A page on this
// computer's own address needs none.
async function localNetworkBlocked() {
  for (const name of ["loopback-network", "local-network-access"]) {
    try {
      return (await navigator.permissions.query({ name })).state === "denied";
    } catch {
      // a name this browser does not know: try the next
    }
  }
  return false;
}

// Connects, and keeps the page's view of the connection live: red when it
// is lost, back by itself when the agent returns.
async function connect() {
  const port = Number(new URLSearchParams(location.search).get("agent") ?? 17443);
  try {
    if (agent) {
      await agent.reconnect();
    } else {
      agent = await Keyloom.connect({ port, language: state.lang });
      agent.addEventListener("close", () => {
        state.agentState = "lost";
        setControls(false);
        render();
        retryWhileLost();
      });
    }
  } catch {
    if (state.agentState !== "lost") state.agentState = (await localNetworkBlocked()) ? "blocked" : "refused";
    render();
    return false;
  }
  return true;
}

async function ready() {
  state.agentState = "connected";
  state.error = state.error?.key === "agentLost" ? null : state.error;
  try {
    const providers = (await agent.ZENQ_GetCSPInfo()).split("||").filter((p) => p && providerRules(p));
    if (providers.length === 0) throw { key: "noProviders" };
    const before = $("provider").value;
    fillOptions($("provider"), providers);
    if (!providers.includes(before)) {
      const enhanced = providers.find((p) => p.includes("Microsoft Enhanced Cryptographic"));
      if (enhanced) $("provider").value = enhanced;
    }
    offerChoices();
    setControls(true);
    state.certs = parseListing(await agent.ZENQ_GetAllCertInfo());
  } catch (e) {
    state.error = e instanceof KeyloomError ? explain(e) : e;
  }
  render();
}

let retry = null;
function retryWhileLost() {
  clearInterval(retry);
  retry = setInterval(async () => {
    if (state.agentState === "connected") return clearInterval(retry);
    if (await connect()) {
      clearInterval(retry);
      await ready();
    }
  }, 3000);
}

async function start() {
  for (const [id, lang] of [["lang-en", "en"], ["lang-zh", "zh-CN"]])
    $(id).addEventListener("click", () => {
      state.lang = lang;
      render();
    });
  $("provider").addEventListener("change", offerChoices);
  $("algorithm").addEventListener("change", offerChoices);
  $("reconnect").addEventListener("click", async () => {
    if (await connect()) await ready();
  });
  $("enroll-form").addEventListener("submit", (event) => {
    event.preventDefault();
    enroll();
  });
  render();

  if (await connect()) await ready();
  else retryWhileLost();
}

start();
