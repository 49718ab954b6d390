// The bank's demo site that `testca serve` answers: the enrollment page and
// its files, and the authority's two JSON endpoints over a hierarchy folder.
// Everything here is a pure function of one request; sockets live in
// Serve.cpp.
//
//   POST /api/issue     {"request": PKCS#10 Base64}
//                    -> {"certificate", "subject", "serial", "validFrom", "validTo"}
//   POST /api/envelope  {"algorithm": "RSA"|"SM2", "bits": N, "request": PKCS#10 Base64}
//                    -> the same and "envelope"
//
// "certificate" is the Base64 of the DER in one line; "subject" the X.500
// text, common name first; "serial" the hexadecimal digits of every octet
// of the serial number's encoding (lower case), as certificate listings
// print it; "validFrom" and "validTo" "YYYY-MM-DD HH:MM:SS" in UTC. Failures answer {"error": one English line} with a 4xx status.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace testca {

// Largest request body read, in octets: a request or an envelope query is
// a few kilobytes.
inline constexpr size_t kSiteBodyLimit = 64 * 1024;

struct Site {
  std::string dir;  // the hierarchy folder (as `testca init` or `chain-doc` makes it)
  std::string web;  // the folder holding keyloom.js and demo/
};

struct SiteRequest {
  std::string method;       // "GET", "POST", ...
  std::string target;       // origin-form target, query included
  std::string host;         // the Host header, empty when absent
  std::string contentType;  // the Content-Type header, empty when absent
  std::string body;
  int hostHeaders = 1;      // how many Host headers the request had
};

struct SiteResponse {
  int status = 200;
  std::string contentType;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;  // besides Content-Type
};

// Answers one request. Only GET and HEAD reach the files (a fixed list:
// "/", "/index.html", "/app.js", "/style.css", "/keyloom.js", read from
// `site.web` on each request; HEAD gets the body too, which the server
// leaves out) and only POST with an application/json body
// reaches the endpoints; anything else is refused with 404, 405 or 415. A
// request without exactly one Host header gets 400, a
// Host that is not a loopback address or "localhost" 403 (a name
// rebound to loopback by someone else's DNS). Every answer carries
// nosniff and no-store; pages also carry a Content-Security-Policy that
// allows script and styles from the site alone and WebSocket connections
// to the loopback agent. Never throws.
SiteResponse AnswerSite(const Site& site, const SiteRequest& request);

// True when `host` (a Host header: name or address, optional port) names
// the loopback interface: 127.0.0.0/8, [::1] or "localhost".
bool IsLoopbackHost(const std::string& host);

}  // namespace testca
