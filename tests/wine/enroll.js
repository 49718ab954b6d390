// Enrollment, first half: the requests and the temporary key a page asks
// for, over Wine's RSA providers. Each request goes to OUTDIR\NAME.p10 and
// its container to OUTDIR\NAME.container; the temporary key to
// OUTDIR\temp-enhanced.key. scripts/wine-test verifies the requests on the
// host, has the test authority answer them, and runs install.js with the
// answers.

// [file name, provider, key bits, method, lCertType, subject]
var requests = [
  ["rsa-single-enhanced", enhanced, 1024, "ZENQ_PKCS10CertRequisition", 1, "CN=Wine Single Enhanced,O=Keyloom,C=CN"],
  ["rsa-double-enhanced", enhanced, 2048, "ZENQ_PKCS10CertRequisition", 2, "CN=Wine Double Enhanced,O=Keyloom,C=CN"],
  ["rsa-single-base", base, 512, "ZENQ_PKCS10CertRequisition", 1, "CN=Wine Single Base,O=Keyloom,C=CN"],
  ["rsa-double-base", base, 1024, "ZENQ_PKCS10CertRequisition", 2, "CN=Wine Double Base,O=Keyloom,C=CN"],
  ["md5-single-enhanced", enhanced, 1024, "ZENQ_PKCS10CertRequisitionwithMD5", 1, "CN=Wine MD5 Single,O=Keyloom,C=CN"],
  ["md5-double-base", base, 512, "ZENQ_PKCS10CertRequisitionwithMD5", 2, "CN=Wine MD5 Double,O=Keyloom,C=CN"],
  // CN=王伟: a UTF8String (e7 8e 8b e4 bc 9f) through the request, Wine's
  // store and the listing.
  ["rsa-single-chinese", enhanced, 1024, "ZENQ_PKCS10CertRequisition", 1, "CN=\u738b\u4f1f,O=Keyloom,C=CN"]
];

function run() {
  var agent = newAgent();
  checkValue("SetKeyAlgorithm RSA", attempt(function () { return agent.ZENQ_SetKeyAlgorithm("RSA"); }), true);

  var containers = {};
  for (var i = 0; i < requests.length; i++) {
    var row = requests[i], name = row[0];
    checkValue(name + " SetCSPInfo", attempt(function () { return agent.ZENQ_SetCSPInfo(row[2], row[1]); }), true);
    var request = attempt(function () { return agent[row[3]](row[5], row[4], 1); });
    // Base64 in lines of 64 characters joined by CR LF.
    check(name + " made", typeof request.value == "string" &&
          /^([A-Za-z0-9+\/]{64}\r\n)+[A-Za-z0-9+\/]{1,63}={0,2}$|^([A-Za-z0-9+\/]{64}\r\n)*[A-Za-z0-9+\/]{64}$/.test(request.value),
          show(request.value) + " " + hex(request.number) + " " + show(request.description));
    var container = agent.ZENQ_GetContainer();
    check(name + " has a container of its own", container.length > 0 && !containers[container], show(container));
    containers[container] = true;
    if (request.value) {
      writeText(outDir + "\\" + name + ".p10", request.value);
      writeText(outDir + "\\" + name + ".container", container);
    }
  }

  // The temporary key for an encryption certificate the authority makes:
  // the RSAPublicKey of a 1024-bit key (SEQUENCE of a 129-octet modulus and
  // the exponent 65537) in one Base64 line, in a container of its own.
  agent.ZENQ_SetCSPInfo(1024, enhanced);
  var temp = attempt(function () { return agent.ZENQ_GetTempPublickey(); });
  var key = String(temp.value);
  checkEqual("GetTempPublickey length", key.length, 188);
  checkEqual("GetTempPublickey head", key.slice(0, 9), "MIGJAoGBA");
  checkEqual("GetTempPublickey exponent", key.slice(-8), "AgMBAAE=");
  var container = agent.ZENQ_GetContainer();
  check("temporary key's own container", container.length > 0 && !containers[container], show(container));
  writeText(outDir + "\\temp-enhanced.key", key);
  writeText(outDir + "\\temp-enhanced.container", container);

  // A failed request leaves the container as it was.
  attempt(function () { return agent.ZENQ_PKCS10CertRequisition("", 1, 0); });
  checkEqual("container after a failed request", agent.ZENQ_GetContainer(), container);
}

finish(run);
