// The control's methods as a page's script drives them, under Wine's
// cscript over Wine's own providers: selection rules, raised errors and
// their descriptions. Requests and installation are in enroll.js and
// install.js; the helpers in lib/checks.js.
//
// Where Wine differs from Windows:
// - Wine 8's FormatMessageW has no text for the provider (NTE_) codes: the
//   description of such a failure is the line feed and the status alone
//   (checkRow in lib/checks.js prints a note).
// - Wine words some system texts its own way ("Invalid parameter." for
//   0x80070057, "Success." for 0), so only the control's own texts are
//   compared word for word.

function run() {
  var agent = newAgent();

  // A fresh control describes success.
  checkEqual("fresh GetLastErrorDesc suffix", agent.GetLastErrorDesc().slice(-13), "\n(0x00000000)");

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
