// ZENQ_CheckCertificateChain against the machine's stores as scripts/wine-test
// leaves them: INDIR\chain.expect holds the outcome expected, "true" or the
// status raised (for example 0xa0071033 after the runner removed a carried
// root, 0x80092004 after it removed a carried intermediate from "CA").

function run() {
  var text = readText(inDir + "\\chain.expect");
  check("chain.expect present", text.length > 0, "the runner writes it");
  var expect = text == "true" ? true : parseInt(text, 16);
  var agent = newAgent();
  checkRow(agent, "ZENQ_CheckCertificateChain", attempt(function () { return agent.ZENQ_CheckCertificateChain(); }),
           expect);
  if (expect === true) checkEqual("GetLastErrorDesc after the check", agent.GetLastErrorDesc().slice(-13), "\n(0x00000000)");
}

finish(run);
