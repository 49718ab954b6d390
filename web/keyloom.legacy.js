// keyloom.legacy.js: the Keyloom control for pages of browsers that create
// controls in-process through ActiveXObject (JScript). A classic script,
// loaded with <script src="keyloom.legacy.js"></script>; it sets
// window.Keyloom with the API of keyloom.js:
//
//   Keyloom.connect().then(function (agent) {
//     return agent.ZENQ_SetCSPInfo(2048, "Microsoft Enhanced Cryptographic Provider v1.0");
//   })["catch"](function (e) { alert(e.message + " " + e.code); });
//
// Written for JScript's oldest engine (the one Wine's and old IE document
// modes run): no JSON, no array extras, no property accessors, and reserved
// words only in brackets (["catch"]). It brings its own minimal promise,
// Keyloom.Promise; its then() accepts any thenable the page's callbacks
// return. The control's calls are synchronous in-process: each settles
// before the call returns, and callTimeout has nothing to bound.
(function (global) {
  var METHODS = ["ZENQ_CheckCertificateChain", "ZENQ_GetCSPInfo", "ZENQ_SetCSPInfo", "ZENQ_SetKeyAlgorithm",
    "ZENQ_GetTempPublickey", "ZENQ_ImportEncryptCert", "ZENQ_GetContainer", "ZENQ_ImportSignCert",
    "ZENQ_PKCS10CertRequisition", "ZENQ_GetAllCertInfo", "ZENQ_HavePermissiontoGenerateKeyPair",
    "ZENQ_PKCS10CertRequisitionwithMD5", "GetLastErrorDesc"];
  var ENROLL_STEPS = ["select", "request", "issue", "envelope", "installSign", "installEncrypt"];
  var PROG_ID = "Keyloom.CryptoAgent.Tessel_V1.X64";
  var E_AGENT_UNAVAILABLE = 0x800706ba | 0, E_TIMEOUT = 0x800705b4 | 0, E_FAIL = 0x80004005 | 0;

  var TEXTS = {
    en: {
      absent: "The Keyloom control is not installed, or this page may not create it. Only sites among the trusted sites may use it.",
      closed: "The connection to the Keyloom control is closed.",
      callback: function (step, why) { return "The bank's server failed in step \"" + step + "\": " + why; }
    },
    zh: {
      absent: "Keyloom \u63a7\u4ef6\u6ca1\u6709\u5b89\u88c5\uff0c\u6216\u672c\u9875\u9762\u4e0d\u80fd\u521b\u5efa\u5b83\u3002\u53ea\u6709\u53d7\u4fe1\u4efb\u7ad9\u70b9\u4e2d\u7684\u7f51\u7ad9\u624d\u80fd\u4f7f\u7528\u5b83\u3002",
      closed: "\u4e0e Keyloom \u63a7\u4ef6\u7684\u8fde\u63a5\u5df2\u5173\u95ed\u3002",
      callback: function (step, why) { return "\u94f6\u884c\u670d\u52a1\u5668\u5728\u201c" + step + "\u201d\u6b65\u9aa4\u5931\u8d25\uff1a" + why; }
    }
  };
  function textsFor(language) {
    var nav = global.navigator;
    var tag = String(language || (nav && (nav.userLanguage || nav.browserLanguage || nav.language)) || "en").toLowerCase();
    return /^zh(-cn|-sg|-hans|$)/.test(tag) ? TEXTS.zh : TEXTS.en;
  }

  function hexCode(number) {
    var digits = (number >>> 0).toString(16);
    while (digits.length < 8) digits = "0" + digits;
    return "0x" + digits;
  }

  // The minimal promise: then, catch, resolve, reject, and thenables adopted.
  // Callbacks run from a queue: after a timer where the engine has one,
  // otherwise (a script host) as soon as the current callback returns.
  var queue = [], draining = false;
  function drain() {
    while (queue.length > 0) queue.shift()();
    draining = false;
  }
  function later(work) {
    queue.push(work);
    if (draining) return;
    draining = true;
    if (typeof global.setTimeout != "undefined") global.setTimeout(drain, 0);
    else drain();
  }
  function Promise(executor) {
    var self = this;
    this._state = 0; // 0 pending, 1 fulfilled, 2 rejected
    this._waiting = [];
    var once = false;
    function settle(state, value) {
      if (once) return;
      once = true;
      settleWith(self, state, value);
    }
    try {
      executor(function (value) { settle(1, value); }, function (reason) { settle(2, reason); });
    } catch (e) {
      settle(2, e);
    }
  }
  function settleWith(promise, state, value) {
    if (state == 1 && value === promise) return settleWith(promise, 2, new TypeError("a promise cannot resolve to itself"));
    if (state == 1 && value && (typeof value == "object" || typeof value == "function")) {
      var then;
      try {
        then = value.then;
      } catch (e) {
        return settleWith(promise, 2, e);
      }
      if (typeof then == "function") {
        var done = false;
        try {
          then.call(value, function (v) { if (!done) { done = true; settleWith(promise, 1, v); } },
            function (r) { if (!done) { done = true; settleWith(promise, 2, r); } });
        } catch (e) {
          if (!done) { done = true; settleWith(promise, 2, e); }
        }
        return;
      }
    }
    promise._state = state;
    promise._value = value;
    var waiting = promise._waiting;
    promise._waiting = [];
    for (var i = 0; i < waiting.length; i++) notify(promise, waiting[i]);
  }
  function notify(promise, waiter) {
    later(function () {
      var handler = promise._state == 1 ? waiter.fulfilled : waiter.rejected;
      if (typeof handler != "function") return settleWith(waiter.next, promise._state, promise._value);
      var result;
      try {
        result = handler(promise._value);
      } catch (e) {
        return settleWith(waiter.next, 2, e);
      }
      settleWith(waiter.next, 1, result);
    });
  }
  Promise.prototype.then = function (fulfilled, rejected) {
    var next = new Promise(function () {});
    var waiter = { fulfilled: fulfilled, rejected: rejected, next: next };
    if (this._state == 0) this._waiting.push(waiter);
    else notify(this, waiter);
    return next;
  };
  Promise.prototype["catch"] = function (rejected) { return this.then(null, rejected); };
  Promise.resolve = function (value) { return new Promise(function (resolve) { resolve(value); }); };
  Promise.reject = function (reason) { return new Promise(function (resolve, reject) { reject(reason); }); };

  // A failed call of the control, or a failed step of enroll().
  function KeyloomError(number, description, detail) {
    detail = detail || {};
    this.name = "KeyloomError";
    this.number = number | 0;
    this.code = hexCode(number);
    this.description = String(description);
    // The control ends its texts with a line holding the code; the message leaves it out.
    this.message = this.description.replace(/\s*\(0x[0-9a-fA-F]{8}\)\s*$/, "");
    this.method = detail.method || null;
    this.step = detail.step || null;
    if (detail.cause !== undefined) this.cause = detail.cause;
  }
  KeyloomError.prototype = new Error();
  KeyloomError.prototype.constructor = KeyloomError;
  KeyloomError.prototype.name = "KeyloomError";
  KeyloomError.prototype.toString = function () { return "KeyloomError: " + this.message; };

  // Calls a method of an ActiveX object with its own count of arguments
  // (a dispatch method has no apply()).
  function invoke(control, method, p) {
    switch (p.length) {
      case 0: return control[method]();
      case 1: return control[method](p[0]);
      case 2: return control[method](p[0], p[1]);
      case 3: return control[method](p[0], p[1], p[2]);
      default: return control[method](p[0], p[1], p[2], p[3]);
    }
  }

  // One control, created in the page: "open" until close(); reconnect()
  // creates a new one (choices made on the old one are gone). Events "open"
  // and "close" reach the listeners of addEventListener.
  function KeyloomConnection(options) {
    this._options = options || {};
    this._texts = textsFor(this._options.language);
    this._control = null;
    this._listeners = { open: [], close: [] };
    this.state = "closed";
    for (var i = 0; i < METHODS.length; i++) this[METHODS[i]] = method(this, METHODS[i]);
  }
  function method(connection, name) {
    return function () {
      var params = [];
      for (var i = 0; i < arguments.length; i++) params.push(arguments[i]);
      return connection.call(name, params);
    };
  }
  KeyloomConnection.prototype.addEventListener = function (type, listener) {
    if (this._listeners[type]) this._listeners[type].push(listener);
  };
  KeyloomConnection.prototype.removeEventListener = function (type, listener) {
    var list = this._listeners[type] || [];
    for (var i = 0; i < list.length; i++) if (list[i] === listener) { list.splice(i, 1); return; }
  };
  KeyloomConnection.prototype._dispatch = function (type, fields) {
    var list = this._listeners[type].slice(0);
    for (var i = 0; i < list.length; i++) list[i](fields);
  };
  KeyloomConnection.prototype.reconnect = function () {
    var self = this;
    return new Promise(function (resolve, reject) {
      if (self.state == "open") return resolve(self);
      try {
        var create = self._options.create || function () { return new global.ActiveXObject(self._options.progId || PROG_ID); };
        self._control = create();
      } catch (e) {
        return reject(new KeyloomError(E_AGENT_UNAVAILABLE, self._texts.absent, { cause: e }));
      }
      self.state = "open";
      resolve(self);
      self._dispatch("open", { type: "open" });
    });
  };
  KeyloomConnection.prototype.close = function () {
    if (this.state != "open") return;
    this._control = null;
    this.state = "closed";
    this._dispatch("close", { type: "close", code: 1000, reason: "" });
  };
  KeyloomConnection.prototype.call = function (name, params) {
    var self = this;
    return new Promise(function (resolve, reject) {
      if (self.state != "open") return reject(new KeyloomError(E_AGENT_UNAVAILABLE, self._texts.closed, { method: name }));
      try {
        resolve(invoke(self._control, name, params || []));
      } catch (e) {
        reject(new KeyloomError(typeof e.number == "number" ? e.number : E_FAIL, e.description || e.message, { method: name }));
      }
    });
  };

  // The whole double-certificate enrollment, as keyloom.js's enroll().
  function enroll(connection, options) {
    options = options || {};
    var texts = textsFor(options.language);
    var onProgress = options.onProgress || function () {};
    var names = ["provider", "algorithm", "subject"];
    for (var i = 0; i < names.length; i++)
      if (typeof options[names[i]] != "string" || options[names[i]] === "")
        return Promise.reject(new TypeError("Keyloom.enroll: " + names[i] + " must be a non-empty string"));
    if (typeof options.bits != "number" || options.bits % 1 !== 0)
      return Promise.reject(new TypeError("Keyloom.enroll: bits must be a whole number"));
    if (typeof options.issue != "function" || typeof options.envelope != "function")
      return Promise.reject(new TypeError("Keyloom.enroll: issue and envelope must be functions"));
    var position = {};
    for (i = 0; i < ENROLL_STEPS.length; i++) position[ENROLL_STEPS[i]] = i;

    function run(step, work) {
      function progress(state) {
        onProgress({ step: step, state: state, index: position[step], count: ENROLL_STEPS.length });
      }
      return function (previous) {
        progress("running");
        return new Promise(function (resolve) { resolve(work(previous)); }).then(function (result) {
          progress("done");
          return result;
        }, function (e) {
          progress("failed");
          if (e instanceof KeyloomError) {
            e.step = step;
            throw e;
          }
          throw new KeyloomError(E_FAIL, texts.callback(step, e && e.message !== undefined ? e.message : String(e)),
            { step: step, cause: e });
        });
      };
    }
    function asAnswer(answer, fields) {
      var object = typeof answer == "string" ? { certificate: answer } : answer;
      for (var i = 0; i < fields.length; i++)
        if (!object || typeof object[fields[i]] != "string") throw new TypeError("the answer has no \"" + fields[i] + "\" text");
      return object;
    }
    var out = {}, query;
    return Promise.resolve().then(run("select", function () {
      return connection.ZENQ_SetCSPInfo(options.bits, options.provider).then(function () {
        return connection.ZENQ_SetKeyAlgorithm(options.algorithm);
      });
    })).then(run("request", function () {
      // 2: a double certificate (a temporary exchange key for the envelope and the signing key).
      return connection.ZENQ_PKCS10CertRequisition(options.subject, 2, options.signKeyFlags || 0).then(function (request) {
        out.request = request;
        return connection.ZENQ_GetContainer();
      }).then(function (container) {
        out.container = container;
        query = { request: out.request, provider: options.provider, algorithm: options.algorithm,
          bits: options.bits, subject: options.subject };
      });
    })).then(run("issue", function () {
      return Promise.resolve(options.issue(query)).then(function (answer) { out.signing = asAnswer(answer, ["certificate"]); });
    })).then(run("envelope", function () {
      return Promise.resolve(options.envelope(query)).then(function (answer) {
        out.encryption = asAnswer(answer, ["certificate", "envelope"]);
      });
    })).then(run("installSign", function () {
      // 2: the certificate belongs to the request's signing key.
      return connection.ZENQ_ImportSignCert(2, out.signing.certificate, out.container);
    })).then(run("installEncrypt", function () {
      return connection.ZENQ_ImportEncryptCert(out.encryption.envelope, out.encryption.certificate, out.container,
        options.encryptKeyFlags || 0);
    })).then(function () {
      return out;
    });
  }

  global.Keyloom = {
    METHODS: METHODS,
    ENROLL_STEPS: ENROLL_STEPS,
    E_AGENT_UNAVAILABLE: E_AGENT_UNAVAILABLE,
    E_TIMEOUT: E_TIMEOUT,
    E_FAIL: E_FAIL,
    KeyloomError: KeyloomError,
    KeyloomConnection: KeyloomConnection,
    Promise: Promise,
    hexCode: hexCode,
    // Creates the control (options: progId, language, create: a function
    // that makes the control, for pages that embed it with <object>).
    // Resolves with a KeyloomConnection; rejects with a KeyloomError
    // (E_AGENT_UNAVAILABLE) when the control cannot be created.
    connect: function (options) { return new KeyloomConnection(options).reconnect(); },
    enroll: enroll
  };
})(this);
