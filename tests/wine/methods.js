// The control's methods as a page's script drives them, under Wine's
// cscript over Wine's own providers: one row for each way an outcome
// reaches script (a value, the control's own status, a parameter error, a
// provider's status passed on). The selection rules themselves are the
// native suite's (tests/control); requests and installation are in
// enroll.js and install.js; the helpers in lib/checks.js.
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

  // The provider list: names joined by "||", Wine's RSA providers among them.
  var list = "||" + attempt(function () { return agent.ZENQ_GetCSPInfo(); }).value + "||";
  check("ZENQ_GetCSPInfo lists Wine's providers", list.indexOf("||" + enhanced + "||") >= 0 &&
        list.indexOf("||" + base + "||") >= 0, show(list));

  // [name, call, expected value or raised status].
  var rows = [
    ["SetCSPInfo Enhanced 1024", function () { return agent.ZENQ_SetCSPInfo(1024, enhanced); }, true],
    ["SetCSPInfo Base 2048", function () { return agent.ZENQ_SetCSPInfo(2048, base); }, 0xA0072400],
    ["SetCSPInfo blank name", function () { return agent.ZENQ_SetCSPInfo(1024, "   "); }, 0x80070057],
    ["SetKeyAlgorithm padded sm2", function () { return agent.ZENQ_SetKeyAlgorithm("  sm2 "); }, true],
    ["SetKeyAlgorithm ECC", function () { return agent.ZENQ_SetKeyAlgorithm("ECC"); }, 0xA0072401],
    ["HavePermissiontoGenerateKeyPair", function () { return agent.ZENQ_HavePermissiontoGenerateKeyPair(); }, true]
  ];
  for (var r = 0; r < rows.length; r++) checkRow(agent, rows[r][0], attempt(rows[r][1]), rows[r][2]);

  // A provider that does not exist: the platform's status reaches script
  // unchanged (Wine has no text for it).
  agent.ZENQ_SetKeyAlgorithm("rsa");
  agent.ZENQ_SetCSPInfo(1024, "Keyloom No Such Provider");
  checkRow(agent, "GetTempPublickey without the provider",
           attempt(function () { return agent.ZENQ_GetTempPublickey(); }), 0x80090019);
}

finish(run);
