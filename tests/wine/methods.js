// The control's methods as a page's script drives them, under Wine's
// cscript over Wine's own providers: selection rules, raised errors and
// their descriptions. Requests and installation are in enroll.js and
// install.js; the helpers in lib/checks.js.
//
// Where Wine differs from Windows:
// - Wine 8's FormatMessageW has no text for the provider (NTE_) codes: the
//   description of such a failure is the line feed and the status alone.
//   The check stays the same (the raised description is GetLastErrorDesc's
//   text and ends in the status); the missing text is printed as a note.
// - Wine words some system texts its own way ("Invalid parameter." for
//   0x80070057, "Success." for 0), so only the control's own texts are
//   compared word for word.

// The English texts of the control's own statuses.
var ownText = {
  0xA0072400: "Key length is not supported.",
  0xA0072401: "Invalid key algorithm."
};

// Checks one call's outcome against a row: expect is the value, or a status
// (a number) for a raised error. A raised error carries the status and, as
// its description, the GetLastErrorDesc text: the status's text and
// "\n(0x%08x)".
function checkRow(agent, name, outcome, expect) {
  if (typeof expect != "number") {
    checkEqual(name + " result", outcome.value, expect);
    if (outcome.number !== undefined) WScript.Echo("  raised " + hex(outcome.number) + " " + show(outcome.description));
    return;
  }
  checkEqual(name + " number", outcome.number === undefined ? "no error" : hex(outcome.number), hex(expect));
  var described = agent.GetLastErrorDesc();
  checkEqual(name + " description is GetLastErrorDesc", outcome.description, described);
  var suffix = "\n(" + hex(expect) + ")";
  var text = String(outcome.description);
  checkEqual(name + " description ends with the status", text.slice(-suffix.length), suffix);
  if (ownText[expect] !== undefined) {
    checkEqual(name + " own text", text, ownText[expect] + suffix);
  } else if (text == suffix) {
    WScript.Echo("  note (wine): no system text for " + hex(expect));
  }
}

function writeText(path, text) {
  var fso = new ActiveXObject("Scripting.FileSystemObject");
  var file = fso.CreateTextFile(path, true);
  file.Write(text);
  file.Close();
}

function run() {
  var agent = newAgent();

  // A fresh control describes success.
  checkEqual("fresh GetLastErrorDesc suffix", agent.GetLastErrorDesc().slice(-13), "\n(0x00000000)");

  // The runner registered with the machine's root store key present, so
  // registration installed the carried chain and the check holds.
  checkValue("ZENQ_CheckCertificateChain", attempt(function () { return agent.ZENQ_CheckCertificateChain(); }), true);
  checkEqual("GetLastErrorDesc after the chain check", agent.GetLastErrorDesc().slice(-13), "\n(0x00000000)");

  // The provider list: names joined by "||", Wine's RSA providers among them.
  var list = attempt(function () { return agent.ZENQ_GetCSPInfo(); });
  var names = String(list.value).split("||");
  var providers = [enhanced, base, "Microsoft Strong Cryptographic Provider"];
  for (var i = 0; i < providers.length; i++) {
    var found = false;
    for (var j = 0; j < names.length; j++) found = found || names[j] == providers[i];
    check("ZENQ_GetCSPInfo lists " + providers[i], found, show(list.value));
  }

  // Selection rules: [name, call, expected value or raised status].
  var rows = [
    ["SetCSPInfo Enhanced 1024", function () { return agent.ZENQ_SetCSPInfo(1024, enhanced); }, true],
    ["SetCSPInfo Enhanced 4096", function () { return agent.ZENQ_SetCSPInfo(4096, enhanced); }, true],
    ["SetCSPInfo Enhanced 333", function () { return agent.ZENQ_SetCSPInfo(333, enhanced); }, 0xA0072400],
    ["SetCSPInfo Base 2048", function () { return agent.ZENQ_SetCSPInfo(2048, base); }, 0xA0072400],
    ["SetCSPInfo Base 512", function () { return agent.ZENQ_SetCSPInfo(512, base); }, true],
    ["SetCSPInfo token 70000", function () { return agent.ZENQ_SetCSPInfo(70000, "Other Token CSP"); }, 0xA0072400],
    ["SetCSPInfo empty name", function () { return agent.ZENQ_SetCSPInfo(1024, ""); }, 0x80070057],
    ["SetCSPInfo blank name", function () { return agent.ZENQ_SetCSPInfo(1024, "   "); }, 0x80070057],
    ["SetKeyAlgorithm RSA", function () { return agent.ZENQ_SetKeyAlgorithm("RSA"); }, true],
    ["SetKeyAlgorithm padded sm2", function () { return agent.ZENQ_SetKeyAlgorithm("  sm2 "); }, true],
    ["SetKeyAlgorithm ECC", function () { return agent.ZENQ_SetKeyAlgorithm("ECC"); }, 0xA0072401],
    ["SetKeyAlgorithm tab RSA", function () { return agent.ZENQ_SetKeyAlgorithm("\tRSA"); }, 0xA0072401],
    ["SetKeyAlgorithm empty", function () { return agent.ZENQ_SetKeyAlgorithm(""); }, 0x80070057]
  ];
  for (var r = 0; r < rows.length; r++) checkRow(agent, rows[r][0], attempt(rows[r][1]), rows[r][2]);

  // GetLastErrorDesc after a failure: the same text every time.
  attempt(function () { return agent.ZENQ_SetKeyAlgorithm("DSA"); });
  checkEqual("GetLastErrorDesc after a failure", agent.GetLastErrorDesc(), "Invalid key algorithm.\n(0xa0072401)");
  checkEqual("GetLastErrorDesc again", agent.GetLastErrorDesc(), "Invalid key algorithm.\n(0xa0072401)");

  checkRow(agent, "HavePermissiontoGenerateKeyPair",
           attempt(function () { return agent.ZENQ_HavePermissiontoGenerateKeyPair(); }), true);

  // Request arguments are checked before any key is made; the MD5 method
  // takes RSA only.
  agent.ZENQ_SetKeyAlgorithm("RSA");
  checkRow(agent, "request with lCertType 3",
           attempt(function () { return agent.ZENQ_PKCS10CertRequisition("CN=Wine", 3, 0); }), 0x80070057);
  checkRow(agent, "MD5 request with lCertType 0",
           attempt(function () { return agent.ZENQ_PKCS10CertRequisitionwithMD5("CN=Wine", 0, 0); }), 0x80070057);
  agent.ZENQ_SetKeyAlgorithm("SM2");
  checkRow(agent, "MD5 request after SM2 was chosen",
           attempt(function () { return agent.ZENQ_PKCS10CertRequisitionwithMD5("CN=Wine", 1, 0); }), 0xA0072401);

  // A provider that does not exist: the platform's status reaches script
  // unchanged (Wine has no text for it).
  agent.ZENQ_SetKeyAlgorithm("rsa");
  agent.ZENQ_SetCSPInfo(1024, "Keyloom No Such Provider");
  checkRow(agent, "GetTempPublickey without the provider",
           attempt(function () { return agent.ZENQ_GetTempPublickey(); }), 0x80090019);
}

finish(run);
