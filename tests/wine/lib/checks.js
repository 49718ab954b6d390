// Put in front of each tests/wine/*.js by scripts/wine-test (cscript has no
// include). finish() prints "KEYLOOM-WINE-TEST-END failures=N tests=M" and
// quits with N; the body runs inside it, as cscript exits 0 on an uncaught
// error. Arguments: OUTDIR (files the host checks), INDIR (files it wrote).

var failures = 0, tests = 0;
var outDir = WScript.Arguments.length > 0 ? WScript.Arguments(0) : ".";
var inDir = WScript.Arguments.length > 1 ? WScript.Arguments(1) : ".";
var enhanced = "Microsoft Enhanced Cryptographic Provider v1.0";
var base = "Microsoft Base Cryptographic Provider v1.0";
var fso = new ActiveXObject("Scripting.FileSystemObject");

// The requests enroll.js makes and install.js installs the answers to (each
// NAME.p10 in OUTDIR, its answer NAME.cer in INDIR): [file name, provider,
// key bits, method, lCertType, subject].
var requests = [
  ["rsa-single-enhanced", enhanced, 1024, "ZENQ_PKCS10CertRequisition", 1, "CN=Wine Single Enhanced,O=Keyloom,C=CN"],
  ["rsa-double-enhanced", enhanced, 2048, "ZENQ_PKCS10CertRequisition", 2, "CN=Wine Double Enhanced,O=Keyloom,C=CN"],
  ["rsa-double-base", base, 1024, "ZENQ_PKCS10CertRequisition", 2, "CN=Wine Double Base,O=Keyloom,C=CN"],
  ["md5-single-enhanced", enhanced, 1024, "ZENQ_PKCS10CertRequisitionwithMD5", 1, "CN=Wine MD5 Single,O=Keyloom,C=CN"],
  // CN=王伟: a UTF8String (e7 8e 8b e4 bc 9f) through the request, Wine's
  // store and the listing.
  ["rsa-single-chinese", enhanced, 1024, "ZENQ_PKCS10CertRequisition", 1, "CN=\u738b\u4f1f,O=Keyloom,C=CN"]
];

function hex(n) { return "0x" + ("00000000" + (n >>> 0).toString(16)).slice(-8); }
function show(v) { return typeof v == "string" ? "\"" + v.replace(/\r/g, "\\r").replace(/\n/g, "\\n") + "\"" : String(v); }

function check(name, ok, detail) {
  tests++;
  if (!ok) {
    failures++;
    WScript.Echo("FAIL " + name + (detail ? ": " + detail : ""));
  }
}
function checkEqual(name, actual, expected) {
  check(name, actual === expected, "got " + show(actual) + ", expected " + show(expected));
}

// Calls fn(); answers {value} or {number (unsigned), description}.
function attempt(fn) {
  try {
    return { value: fn() };
  } catch (e) {
    return { number: e.number >>> 0, description: e.description };
  }
}

var ownText = { 0xA0072401: "Invalid key algorithm.", 0xA0071033: "Certificate chain is not integrated." };
// Checks one call's outcome: expect is the value, or the status (a number)
// raised with GetLastErrorDesc's text as its description. Only the control's
// own texts (own: its English one by default) are compared word for word, as
// Wine words system texts its own way; the rest end in "\n(0x%08x)".
function checkRow(agent, name, outcome, expect, own) {
  if (typeof expect != "number") {
    checkEqual(name + " result", outcome.value, expect);
    if (outcome.number !== undefined) WScript.Echo("  raised " + hex(outcome.number) + " " + show(outcome.description));
    return;
  }
  checkEqual(name + " number", outcome.number === undefined ? "no error" : hex(outcome.number), hex(expect));
  checkEqual(name + " description is GetLastErrorDesc", outcome.description, agent.GetLastErrorDesc());
  var suffix = "\n(" + hex(expect) + ")", text = String(outcome.description);
  if (own === undefined) own = ownText[expect];
  checkEqual(name + " text", own === undefined ? text.slice(-suffix.length) : text, (own || "") + suffix);
}

function writeText(path, text) {
  var file = fso.CreateTextFile(path, true);
  file.Write(text);
  file.Close();
}
function readText(path) {
  if (!fso.FileExists(path)) return "";
  var file = fso.OpenTextFile(path, 1);
  var text = file.AtEndOfStream ? "" : file.ReadAll();
  file.Close();
  return text.replace(/[\r\n]+$/, "");
}

function newAgent() { return new ActiveXObject("Keyloom.CryptoAgent.Tessel_V1.X64"); }

function finish(body) {
  var outcome = attempt(body);
  if (outcome.number !== undefined) check("uncaught", false, hex(outcome.number) + " " + outcome.description);
  WScript.Echo("KEYLOOM-WINE-TEST-END failures=" + failures + " tests=" + tests);
  WScript.Quit(failures);
}
