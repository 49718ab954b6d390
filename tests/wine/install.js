// Enrollment, second half: the authority's answers to enroll.js in INDIR,
// NAME.cer for each request NAME.p10, and for the temporary keys
// (temp-enhanced, rsa-double-enhanced) an envelope NAME.env with its
// encryption certificate NAME.enc.cer.

// [answer name, key bits, subject the authority gave the certificate]
var encrypted = [
  ["temp-enhanced", 1024, "CN=Wine Encrypt"],
  ["rsa-double-enhanced", 2048, "CN=Wine Double Enhanced"]
];

// The records of ZENQ_GetAllCertInfo ("subject;serial;from;to;provider"
// joined by "||") whose subject starts with cn and whose serial is serial.
function recordsFor(listing, cn, serial) {
  for (var found = [], records = listing.split("||"), i = 0; i < records.length; i++) {
    var fields = records[i].split(";");
    if ((fields[0] + ",").indexOf(cn + ",") == 0 && fields[1] == serial) found.push(fields);
  }
  return found;
}

function run() {
  var agent = newAgent();
  agent.ZENQ_SetKeyAlgorithm("RSA");
  var i, row, expected = [];  // [subject's CN, certificate file, provider]
  for (i = 0; i < requests.length; i++) {
    row = requests[i];
    agent.ZENQ_SetCSPInfo(row[2], row[1]);
    var cert = readText(inDir + "\\" + row[0] + ".cer");
    var container = readText(outDir + "\\" + row[0] + ".container");
    // The container is given with surrounding spaces: the method trims it.
    checkRow(agent, row[0] + " ImportSignCert", attempt(function () {
      return agent.ZENQ_ImportSignCert(row[4], cert, " " + container + " ");
    }), true);
    expected.push([row[5].split(",")[0], row[0] + ".cer", row[1]]);
  }
  // Refusals: [name, call, raised status].
  agent.ZENQ_SetCSPInfo(1024, enhanced);
  var single = readText(outDir + "\\rsa-single-enhanced.container");
  var singleCert = readText(inDir + "\\rsa-single-enhanced.cer");
  var refusals = [
    ["ImportSignCert without a certificate", function () { return agent.ZENQ_ImportSignCert(1, "", single); }, 0x80070057],
    ["ImportSignCert without a container", function () { return agent.ZENQ_ImportSignCert(1, singleCert, ""); }, 0x80070057],
    // A single request's container holds no signature key (NTE_NO_KEY).
    ["ImportSignCert for the missing signature key", function () { return agent.ZENQ_ImportSignCert(2, singleCert, single); }, 0x8009000D],
    ["ImportEncryptCert without a certificate", function () { return agent.ZENQ_ImportEncryptCert("x", "", single, 0); }, 0x80070057]
  ];
  for (i = 0; i < refusals.length; i++) checkRow(agent, refusals[i][0], attempt(refusals[i][1]), refusals[i][2]);

  for (i = 0; i < encrypted.length; i++) {
    row = encrypted[i];
    agent.ZENQ_SetCSPInfo(row[1], enhanced);
    var envelope = readText(inDir + "\\" + row[0] + ".env");
    var encCert = readText(inDir + "\\" + row[0] + ".enc.cer");
    var tempContainer = readText(outDir + "\\" + row[0] + ".container");
    checkRow(agent, row[0] + " ImportEncryptCert", attempt(function () {
      return agent.ZENQ_ImportEncryptCert(envelope, encCert, tempContainer, 1);
    }), true);
    checkEqual(row[0] + " container after ImportEncryptCert", agent.ZENQ_GetContainer(), tempContainer);
    expected.push([row[2], row[0] + ".enc.cer", enhanced]);
  }

  // Each installed certificate is listed once with the provider of its key;
  // serial numbers in lower case (the host wrote them, openssl's reading).
  var listing = attempt(function () { return agent.ZENQ_GetAllCertInfo(); });
  check("GetAllCertInfo", typeof listing.value == "string", hex(listing.number) + " " + show(listing.description));
  for (i = 0; i < expected.length; i++) {
    var name = expected[i][0], serial = readText(inDir + "\\" + expected[i][1] + ".serial");
    var records = recordsFor(String(listing.value), name, serial);
    checkEqual(name + " listed once with serial " + serial, records.length, 1);
    if (records.length == 1) {
      checkEqual(name + " fields", records[0].length, 5);
      checkEqual(name + " provider", records[0][4], expected[i][2]);
      check(name + " times", /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$/.test(records[0][2]) && records[0][2] < records[0][3],
            records[0].join(";"));
    }
  }
  if (failures) WScript.Echo("  listing: " + show(listing.value));
}

finish(run);
