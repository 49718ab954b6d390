// ZENQ_CheckCertificateChain against the machine's stores as scripts/wine-test
// leaves them: INDIR\chain.expect holds the outcome expected, "true" or the
// status raised (for example 0xa0071033 after the runner removed a carried
// root, 0x80092004 after it removed a carried intermediate from "CA").

function run() {
  var text = readText(inDir + "\\chain.expect"), agent = newAgent();
  var outcome = attempt(function () { return agent.ZENQ_CheckCertificateChain(); });
  checkRow(agent, "ZENQ_CheckCertificateChain", outcome, text == "true" ? true : parseInt(text, 16));
}

finish(run);
