// The bank's enrollment page: a double-certificate enrollment through the
// Keyloom control, step by step, in English or Simplified Chinese. The
// control's own texts come from the control in the browser's language; the
// page's texts come from the tables below.
import { Keyloom, E_AGENT_UNAVAILABLE } from "/keyloom.js";

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
    agentLost: "The connection to the Keyloom security control was lost. Please reload the page.",
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
    agentLost: "与 Keyloom 安全控件的连接已断开，请刷新页面。",
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
  agentState: "connecting", // connecting | connected | refused
  steps: STEPS.map(() => "pending"),
  error: null, // { key, detail } with detail from the control or the authority
  finished: false,
  certs: null, // records of the last listing
  issued: [], // this enrollment's certificates: { use, subject, serial, validFrom, validTo, provider, container }
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
  error.textContent = state.error ? `${text(state.error.key)} ${state.error.detail ?? ""}`.trim() : "";
  $("done").hidden = !state.finished;
  $("done").textContent = text("finished");

  $("issued-section").hidden = state.issued.length === 0;
  fillTable($("issued"), state.issued.map((c) =>
    [c.use, [text(c.use), c.subject, c.serial, c.validFrom, c.validTo, c.provider, c.container]]));
  fillTable($("certs"), (state.certs ?? []).map((fields) => {
    const use = state.issued.find((c) => c.serial === fields[1])?.use;
    return [use ?? "", [use ? text(use) : "", ...fields]];
  }));
  $("no-certs").hidden = state.certs !== null && state.certs.length > 0;
  if (state.certs !== null) $("no-certs").textContent = text("emptyList");
}

// Fills a table's body with rows of [use, cells]; data-use says "sign" or
// "encrypt" for this enrollment's certificates.
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

// Key lengths the control takes for a provider and algorithm, the usual first.
function keyLengths(provider, algorithm) {
  if (algorithm === "SM2") return [256];
  if (provider.includes("Microsoft")) return provider.includes("Base") ? [1024, 512] : [2048, 1024, 4096];
  return [2048, 1024];
}

function fillOptions(select, values) {
  select.replaceChildren(
    ...values.map((value) => {
      const option = document.createElement("option");
      option.value = option.textContent = String(value);
      return option;
    }),
  );
}

// Picks a provider that suits the algorithm (an SM2 token for SM2) when
// the current one does not.
function suitProvider() {
  const select = $("provider");
  const wantsSm2 = $("algorithm").value === "SM2";
  if (select.value.includes("SM2") !== wantsSm2) {
    const match = [...select.options].find((o) => o.value.includes("SM2") === wantsSm2);
    if (match) select.value = match.value;
  }
  fillOptions($("bits"), keyLengths(select.value, $("algorithm").value));
}

function setControls(enabled) {
  for (const id of ["provider", "algorithm", "bits", "name", "enroll"]) $(id).disabled = !enabled;
}

// The listing: records "subject;serial;from;to;provider" joined by "||".
function parseListing(listing) {
  return listing ? listing.split("||").map((record) => record.split(";")) : [];
}

async function authority(path, body) {
  let response;
  try {
    response = await fetch(path, {
      method: "POST",
      headers: { "Content-Type": "application/json" },
      body: JSON.stringify(body),
    });
  } catch {
    throw { key: "unreachable" };
  }
  const answer = await response.json().catch(() => ({}));
  if (!response.ok) throw { key: "authorityFailed", detail: answer.error ?? `HTTP ${response.status}` };
  return answer;
}

async function step(index, work) {
  state.steps[index] = "running";
  render();
  try {
    const result = await work();
    state.steps[index] = "ok";
    return result;
  } catch (e) {
    state.steps[index] = "failed";
    if (e instanceof Error && e.number === E_AGENT_UNAVAILABLE) {
      state.error = { key: "agentLost" };
    } else if (e instanceof Error) {
      const hex = e.number === undefined ? "" : ` (0x${(e.number >>> 0).toString(16).padStart(8, "0")})`;
      const detail = (e.description ?? e.message).replace(/\s*\(0x[0-9a-f]{8}\)\s*$/, "");
      state.error = { key: "controlFailed", detail: detail + hex };
    } else {
      state.error = e;
    }
    throw e;
  } finally {
    render();
  }
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
  const subject = `CN=${name},OU=Online Banking,O=Keyloom Bank,C=CN`;
  Object.assign(state, { steps: STEPS.map(() => "pending"), error: null, finished: false, issued: [] });
  setControls(false);
  try {
    await step(0, async () => {
      await agent.ZENQ_SetCSPInfo(bits, provider);
      await agent.ZENQ_SetKeyAlgorithm(algorithm);
    });
    const { request, container } = await step(1, async () => ({
      request: await agent.ZENQ_PKCS10CertRequisition(subject, 2, 0),
      container: await agent.ZENQ_GetContainer(),
    }));
    const signing = await step(2, () => authority("/api/issue", { request }));
    const encryption = await step(3, () => authority("/api/envelope", { request, algorithm, bits }));
    const installed = (use, { subject, serial, validFrom, validTo }) =>
      state.issued.push({ use, subject, serial, validFrom, validTo, provider, container });
    await step(4, () => agent.ZENQ_ImportSignCert(2, signing.certificate, container));
    installed("useSign", signing);
    await step(5, () => agent.ZENQ_ImportEncryptCert(encryption.envelope, encryption.certificate, container, 0));
    installed("useEncrypt", encryption);
    state.certs = parseListing(await step(6, () => agent.ZENQ_GetAllCertInfo()));
    state.finished = true;
  } catch {
    // the failed step and its reason are on the page
  } finally {
    setControls(true);
    render();
  }
}

async function start() {
  for (const [id, lang] of [["lang-en", "en"], ["lang-zh", "zh-CN"]])
    $(id).addEventListener("click", () => {
      state.lang = lang;
      render();
    });
  $("algorithm").addEventListener("change", suitProvider);
  $("provider").addEventListener("change", () =>
    fillOptions($("bits"), keyLengths($("provider").value, $("algorithm").value)),
  );
  $("enroll-form").addEventListener("submit", (event) => {
    event.preventDefault();
    enroll();
  });
  render();

  const port = Number(new URLSearchParams(location.search).get("agent") ?? 17443);
  try {
    agent = await Keyloom.connect({ port });
  } catch {
    state.agentState = "refused";
    render();
    return;
  }
  state.agentState = "connected";
  try {
    const providers = (await agent.ZENQ_GetCSPInfo()).split("||").filter(Boolean);
    if (providers.length === 0) throw { key: "noProviders" };
    fillOptions($("provider"), providers);
    const enhanced = providers.find((p) => p.includes("Microsoft Enhanced Cryptographic"));
    if (enhanced) $("provider").value = enhanced;
    suitProvider();
    setControls(true);
    state.certs = parseListing(await agent.ZENQ_GetAllCertInfo());
  } catch (e) {
    state.error = e instanceof Error ? { key: "controlFailed", detail: e.description ?? e.message } : e;
  }
  render();
}

start();
