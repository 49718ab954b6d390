// web/keyloom.legacy.js (put in front of this file) over the control itself,
// the host's demo site (its address in INDIR\site.url) as the bank's server
// through WinHttp. In a script host every promise settles before the call
// that made it returns, so each outcome is read right after its chain.

var site = readText(inDir + "\\site.url");

// The bank's server: POST /api/issue or /api/envelope of the demo site.
function post(path, query) {
  var http = new ActiveXObject("WinHttp.WinHttpRequest.5.1");
  http.Open("POST", site + path, false);
  http.SetRequestHeader("Content-Type", "application/json");
  http.Send("{\"request\":\"" + query.request.replace(/[\r\n]/g, "") + "\",\"algorithm\":\"" + query.algorithm +
            "\",\"bits\":" + query.bits + "}");
  var answer = eval("(" + http.ResponseText + ")"); // the site's JSON (this engine has no JSON object)
  if (http.Status != 200) throw new Error(answer.error);
  return answer;
}

// The outcome of a promise made by `start`: {value} or {error}.
function settled(start) {
  var outcome = { pending: true };
  start().then(function (v) { outcome = { value: v }; }, function (e) { outcome = { error: e }; });
  return outcome;
}

// [name, provider, bits, issue callback, failed step or null, status]
var enrollments = [
  ["rsa", enhanced, 2048, function (q) { return post("/api/issue", q); }, null, 0],
  ["refused length", base, 4096, function (q) { return post("/api/issue", q); }, "select", 0xa0072400],
  ["server down", enhanced, 1024, function () { throw new Error("503"); }, "issue", 0x80004005]
];

function run() {
  var events = [];
  var connected = settled(function () { return Keyloom.connect(); });
  var agent = connected.value;
  check("connect", agent !== undefined && agent.state == "open", connected.error && connected.error.message);
  agent.addEventListener("close", function (e) { events.push(e.type + " " + e.code); });

  var providers = settled(function () { return agent.ZENQ_GetCSPInfo(); });
  check("GetCSPInfo", String(providers.value).indexOf(enhanced + "||") >= 0, show(providers.value));

  var refused = settled(function () { return agent.ZENQ_SetCSPInfo(4096, base); }).error;
  check("refused call is a KeyloomError", refused instanceof Keyloom.KeyloomError && refused instanceof Error);
  checkEqual("refused call's number, code, message, description, method",
             show([refused.number, refused.code, refused.message, refused.description, refused.method].join("|")),
             show([0xa0072400 | 0, "0xa0072400", "Key length is not supported.",
                   "Key length is not supported.\n(0xa0072400)", "ZENQ_SetCSPInfo"].join("|")));

  for (var i = 0; i < enrollments.length; i++) {
    var row = enrollments[i], steps = [];
    var outcome = settled(function () {
      return Keyloom.enroll(agent, {
        provider: row[1], algorithm: "RSA", bits: row[2], subject: "CN=Wine Legacy " + i + ",O=Keyloom Bank,C=CN",
        issue: row[3], envelope: function (q) { return post("/api/envelope", q); },
        onProgress: function (p) { steps.push(p.step + ":" + p.state); }
      });
    });
    if (row[4] === null) {
      checkEqual(row[0] + " steps", steps.join(" "), "select:running select:done request:running request:done " +
                 "issue:running issue:done envelope:running envelope:done installSign:running installSign:done " +
                 "installEncrypt:running installEncrypt:done");
      var result = outcome.value || {};
      check(row[0] + " result", typeof result.container == "string" && /^[0-9a-f]+$/.test(result.signing && result.signing.serial),
            outcome.error && outcome.error.description);
      var listing = settled(function () { return agent.ZENQ_GetAllCertInfo(); }).value;
      check(row[0] + " both certificates listed", String(listing).indexOf(result.signing.serial) >= 0 &&
            String(listing).indexOf(result.encryption.serial) >= 0, show(listing));
    } else {
      var e = outcome.error || {};
      checkEqual(row[0] + " step, code, last progress", [e.step, e.code, steps[steps.length - 1]].join(" "),
                 [row[4], hex(row[5]), row[4] + ":failed"].join(" "));
    }
  }

  agent.close();
  checkEqual("close event", events.join(), "close 1000");
  checkEqual("call after close", settled(function () { return agent.ZENQ_GetContainer(); }).error.number,
             Keyloom.E_AGENT_UNAVAILABLE);
  var absent = settled(function () { return Keyloom.connect({ progId: "Keyloom.NoSuchControl" }); }).error;
  checkEqual("absent control", absent && absent.number, Keyloom.E_AGENT_UNAVAILABLE);
}

finish(run);
