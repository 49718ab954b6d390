// Shared by every script test: scripts/wine-test puts this file in front of
// each tests/wine/*.js before cscript runs it (Wine's cscript has no include).
// Every check is counted; finish() prints the last line
//   KEYLOOM-WINE-TEST-END failures=N tests=M
// and quits with N. Wine's cscript exits 0 on an uncaught error, so a test's
// body runs inside finish() and an escaping error is one more failure.
// Arguments: OUTDIR (files the host checks) and INDIR (files the host wrote).

var failures = 0, tests = 0;
var outDir = WScript.Arguments.length > 0 ? WScript.Arguments(0) : ".";
var inDir = WScript.Arguments.length > 1 ? WScript.Arguments(1) : ".";
var enhanced = "Microsoft Enhanced Cryptographic Provider v1.0";
var base = "Microsoft Base Cryptographic Provider v1.0";
var fso = new ActiveXObject("Scripting.FileSystemObject");

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

// Checks that an outcome is the value expected, printing a raised error.
function checkValue(name, outcome, expected) {
  checkEqual(name, outcome.value, expected);
  if (outcome.number !== undefined) WScript.Echo("  raised " + hex(outcome.number) + " " + show(outcome.description));
}

// The English texts of the control's own statuses.
var ownText = {
  0xA0072400: "Key length is not supported.",
  0xA0072401: "Invalid key algorithm.",
  0xA0071033: "Certificate chain is not integrated."
};

// Checks one call's outcome against a row: expect is the value, or a status
// (a number) for a raised error. A raised error carries the status and, as
// its description, the GetLastErrorDesc text: the status's text and
// "\n(0x%08x)".
function checkRow(agent, name, outcome, expect) {
  if (typeof expect != "number") return checkValue(name + " result", outcome, expect);
  checkEqual(name + " number", outcome.number === undefined ? "no error" : hex(outcome.number), hex(expect));
  var described = agent.GetLastErrorDesc();
  checkEqual(name + " description is GetLastErrorDesc", outcome.description, described);
  var suffix = "\n(" + hex(expect) + ")";
  var text = String(outcome.description);
  checkEqual(name + " description ends with the status", text.slice(-suffix.length), suffix);
  if (ownText[expect] !== undefined) {
    checkEqual(name + " own text", text, ownText[expect] + suffix);
  } else if (text == suffix) {
    // Wine 8's FormatMessageW has no text for NTE_ and CRYPT_E_ codes.
    WScript.Echo("  note (wine): no system text for " + hex(expect));
  }
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
  if (outcome.number !== undefined) {
    failures++;
    tests++;
    WScript.Echo("FAIL uncaught " + hex(outcome.number) + " " + show(outcome.description));
  }
  WScript.Echo("KEYLOOM-WINE-TEST-END failures=" + failures + " tests=" + tests);
  WScript.Quit(failures);
}
