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
  http.Send("{\"request\":\"" + query.request.replace(/[\r\n]/g, "") + "\",\"algorithm\":\"" +
            query.algorithm + "\",\"bits\":" + query.bits + "}");
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

function issue(q) { return post("/api/issue", q); }
// [name, provider, bits, issue callback, the error's "step|code|message|description|method"
// (its first fields), or null]
var enrollments = [
  ["rsa", enhanced, 2048, issue, null],
  ["refused length", base, 4096, issue, "select|0xa0072400|Key length is not supported.|" +
   "Key length is not supported.\n(0xa0072400)|ZENQ_SetCSPInfo"],
  ["server down", enhanced, 1024, function () { throw new Error("503"); }, "issue|0x80004005"]
];

function run() {
  var events = [];
  var agent = settled(function () { return Keyloom.connect(); }).value;
  check("connect", agent !== undefined && agent.state == "open");
  agent.addEventListener("close", function (e) { events.push(e.type + " " + e.code); });

  for (var i = 0; i < enrollments.length; i++) {
    var row = enrollments[i], steps = [];
    var outcome = settled(function () {
      return Keyloom.enroll(agent, {
        provider: row[1], algorithm: "RSA", bits: row[2], subject: "CN=Wine Legacy " + i + ",O=Keyloom Bank,C=CN",
        issue: row[3], envelope: function (q) { return post("/api/envelope", q); },
        onProgress: function (p) { steps.push(p.step + ":" + p.state); }
      });
    });
    var e = outcome.error || {};
    if (row[4] === null) {
      checkEqual(row[0] + " steps", steps.join(" "), "select:running select:done request:running request:done " +
                 "issue:running issue:done envelope:running envelope:done installSign:running installSign:done " +
                 "installEncrypt:running installEncrypt:done");
      var result = outcome.value || {};
      var listing = settled(function () { return agent.ZENQ_GetAllCertInfo(); }).value;
      check(row[0] + " both listed", /^[0-9a-f]+$/.test(result.signing && result.signing.serial) &&
            String(listing).indexOf(result.signing.serial) >= 0 &&
            String(listing).indexOf(result.encryption.serial) >= 0, show(listing) + " " + e.description);
    } else {
      check(row[0] + " is a KeyloomError", e instanceof Keyloom.KeyloomError && e instanceof Error);
      var fields = [e.step, e.code, e.message, e.description, e.method].slice(0, row[4].split("|").length);
      checkEqual(row[0] + " error", fields.join("|"), row[4]);
      checkEqual(row[0] + " number and last progress", e.number + " " + steps[steps.length - 1],
                 (parseInt(e.code, 16) | 0) + " " + e.step + ":failed");
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
