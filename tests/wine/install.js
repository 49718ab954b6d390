// Enrollment, second half: the authority's answers to enroll.js in INDIR,
// NAME.cer for each request NAME.p10, and for the temporary keys
// (temp-enhanced, rsa-double-enhanced) an envelope NAME.env with its
// encryption certificate NAME.enc.cer. Argument errors and the current
// container, and a missing signature key, are the native suite's (tests/install).

// [answer name, key bits, subject the authority gave the certificate]
var encrypted = [
  ["temp-enhanced", 1024, "CN=Wine Encrypt"],
  ["rsa-double-enhanced", 2048, "CN=Wine Double Enhanced"]
];

function run() {
  var agent = newAgent();
  agent.ZENQ_SetKeyAlgorithm("RSA");
  var i, row, expected = [];  // [subject's CN, certificate file, provider]
  for (i = 0; i < requests.length; i++) {
    row = requests[i];
    agent.ZENQ_SetCSPInfo(row[2], row[1]);
    var cert = readText(inDir + "\\" + row[0] + ".cer");
    var container = readText(outDir + "\\" + row[0] + ".container");
    checkRow(agent, row[0] + " ImportSignCert", attempt(function () {
      return agent.ZENQ_ImportSignCert(row[4], cert, container);
    }), true);
    expected.push([row[5].split(",")[0], row[0] + ".cer", row[1]]);
  }

  for (i = 0; i < encrypted.length; i++) {
    row = encrypted[i];
    agent.ZENQ_SetCSPInfo(row[1], enhanced);
    var envelope = readText(inDir + "\\" + row[0] + ".env");
    var encCert = readText(inDir + "\\" + row[0] + ".enc.cer");
    var tempContainer = readText(outDir + "\\" + row[0] + ".container");
    checkRow(agent, row[0] + " ImportEncryptCert", attempt(function () {
      return agent.ZENQ_ImportEncryptCert(envelope, encCert, tempContainer, 1);
    }), true);
    expected.push([row[2], row[0] + ".enc.cer", enhanced]);
  }

  // Each installed certificate is listed once ("subject;serial;from;to;provider"
  // joined by "||"), its subject as Wine's CertNameToStrW renders it, with
  // the provider of its key; serials in lower case (the host wrote them).
  var listing = String(attempt(function () { return agent.ZENQ_GetAllCertInfo(); }).value);
  for (i = 0; i < expected.length; i++) {
    var serial = readText(inDir + "\\" + expected[i][1] + ".serial"), found = [];
    for (var records = listing.split("||"), r = 0; r < records.length; r++) {
      var fields = records[r].split(";");
      if ((fields[0] + ",").indexOf(expected[i][0] + ",") == 0 && fields[1] == serial) found.push(fields[4]);
    }
    checkEqual(expected[i][0] + " listed once, serial " + serial, found.join(), expected[i][2]);
  }
  if (failures) WScript.Echo("  listing: " + show(listing));
}

finish(run);
