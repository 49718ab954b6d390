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
