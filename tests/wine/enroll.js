// The control's methods over Wine's own providers, and the first half of
// enrollment: the requests (lib/checks.js) to OUTDIR\NAME.p10, their
// containers to OUTDIR\NAME.container, a temporary key to
// OUTDIR\temp-enhanced.key; scripts/wine-test verifies and answers them.

function run() {
  var agent = newAgent();
  var list = "||" + attempt(function () { return agent.ZENQ_GetCSPInfo(); }).value + "||";
  check("ZENQ_GetCSPInfo lists Wine's providers", list.indexOf("||" + enhanced + "||") >= 0 &&
        list.indexOf("||" + base + "||") >= 0, show(list));
  // One row for each way an outcome reaches script: a value, the control's
  // own status, a provider's status passed on with the system's text. The
  // selection rules themselves are the native suite's (tests/control).
  var rows = [
    ["SetCSPInfo Enhanced 1024", function () { return agent.ZENQ_SetCSPInfo(1024, enhanced); }, true],
    ["SetKeyAlgorithm ECC", function () { return agent.ZENQ_SetKeyAlgorithm("ECC"); }, 0xA0072401],
    ["GetTempPublickey without the provider", function () {
      agent.ZENQ_SetKeyAlgorithm("rsa");
      agent.ZENQ_SetCSPInfo(1024, "Keyloom No Such Provider");
      return agent.ZENQ_GetTempPublickey();
    }, 0x80090019]
  ];
  for (var r = 0; r < rows.length; r++) checkRow(agent, rows[r][0], attempt(rows[r][1]), rows[r][2]);

  agent.ZENQ_SetKeyAlgorithm("RSA");
  for (var i = 0; i < requests.length; i++) {
    var row = requests[i], name = row[0];
    agent.ZENQ_SetCSPInfo(row[2], row[1]);
    var request = attempt(function () { return agent[row[3]](row[5], row[4], 1); });
    // Base64 in lines of 64 characters joined by CR LF (the host reads it).
    var made = typeof request.value == "string" && /^([A-Za-z0-9+\/]{64}\r\n)*[A-Za-z0-9+\/]{1,64}={0,2}$/;
    check(name + " made", made && made.test(request.value),
          show(request.value) + " " + hex(request.number) + " " + show(request.description));
    writeText(outDir + "\\" + name + ".p10", request.value || "");
    writeText(outDir + "\\" + name + ".container", agent.ZENQ_GetContainer());
  }

  // The temporary key for an encryption certificate the authority makes
  // (its RSAPublicKey the host reads).
  agent.ZENQ_SetCSPInfo(1024, enhanced);
  var key = attempt(function () { return agent.ZENQ_GetTempPublickey(); });
  writeText(outDir + "\\temp-enhanced.key", key.value);
  writeText(outDir + "\\temp-enhanced.container", agent.ZENQ_GetContainer());
}

finish(run);
