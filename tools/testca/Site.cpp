// The demo site's answers: a fixed list of files and the authority's two
// endpoints, each a pure function of the request.
#include "testca/Site.h"

#include <openssl/x509.h>

#include <nlohmann/json.hpp>

#include <arpa/inet.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <semaphore>

#include "testca/Authority.h"

namespace testca {
namespace {

using Json = nlohmann::json;

struct StaticFile {
  const char* target;
  const char* path;  // below Site::web
  const char* contentType;
};

constexpr StaticFile kFiles[] = {
    {"/", "demo/index.html", "text/html; charset=utf-8"},
    {"/index.html", "demo/index.html", "text/html; charset=utf-8"},
    {"/app.js", "demo/app.js", "text/javascript; charset=utf-8"},
    {"/style.css", "demo/style.css", "text/css; charset=utf-8"},
    {"/keyloom.js", "keyloom.js", "text/javascript; charset=utf-8"},
};

// The largest RSA key the control generates, and how many keys the site
// generates at once.
constexpr long kMaxBits = 4096;
constexpr std::ptrdiff_t kKeysAtOnce = 2;

// Script and styles from the site only; the page talks to the site and to
// the agent on loopback, nothing else.
constexpr char kPagePolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "connect-src 'self' ws://127.0.0.1:*; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

SiteResponse Error(int status, const std::string& text) {
  SiteResponse r;
  r.status = status;
  r.contentType = "application/json";
  r.body = Json{{"error", text}}.dump();
  return r;
}

SiteResponse Answer(const Json& body) {
  SiteResponse r;
  r.contentType = "application/json";
  // Replaces text that is not UTF-8 (none is expected: Base64 and X.500
  // text from OpenSSL) instead of throwing.
  r.body = body.dump(-1, ' ', false, Json::error_handler_t::replace);
  return r;
}

// The string member `name` of `object` as octets (Base64, line breaks of
// any kind allowed); false with *error set when absent or unreadable.
bool Base64Member(const Json& object, const char* name, Bytes* octets, std::string* error) {
  const auto it = object.find(name);
  if (it == object.end() || !it->is_string() || it->get_ref<const std::string&>().empty()) {
    *error = std::string("\"") + name + "\" must be a non-empty string of Base64";
    return false;
  }
  const std::string& text = it->get_ref<const std::string&>();
  if (FileOctets(Bytes(text.begin(), text.end()), octets, error)) return true;
  *error = std::string("\"") + name + "\" is not Base64: " + *error;
  return false;
}

// An ASN.1 time as "YYYY-MM-DD HH:MM:SS" (UTC).
std::string TimeText(const ASN1_TIME* time) {
  struct tm t {};
  char text[80] = "";
  if (ASN1_TIME_to_tm(time, &t) == 1)
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}

// "certificate", "subject", "serial", "validFrom" and "validTo" of a
// certificate, as Site.h describes them.
bool Describe(const Bytes& der, Json* out) {
  const unsigned char* p = der.data();
  X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  if (!cert) return false;
  unsigned char* serial = nullptr;
  const int size = i2d_ASN1_INTEGER(X509_get0_serialNumber(cert.get()), &serial);
  std::string hex;
  // A serial number has at most 20 octets: tag and one length octet.
  for (int i = 2; i < size; ++i) {
    static const char kDigits[] = "0123456789abcdef";
    hex += kDigits[serial[i] >> 4];
    hex += kDigits[serial[i] & 15];
  }
  OPENSSL_free(serial);
  BIO* bio = BIO_new(BIO_s_mem());
  const unsigned long flags =
      (XN_FLAG_RFC2253 & ~(ASN1_STRFLGS_ESC_MSB | XN_FLAG_SEP_MASK)) | XN_FLAG_SEP_CPLUS_SPC;
  char* text = nullptr;
  const long length = bio != nullptr && X509_NAME_print_ex(bio, X509_get_subject_name(cert.get()), 0, flags) >= 0
                          ? BIO_get_mem_data(bio, &text)
                          : -1;
  const bool ok = length >= 0 && size > 2;
  if (ok) {
    (*out)["subject"] = std::string(text, static_cast<size_t>(length));
    (*out)["serial"] = hex;
    (*out)["certificate"] = Base64Field(der, 0, false);
    (*out)["validFrom"] = TimeText(X509_get0_notBefore(cert.get()));
    (*out)["validTo"] = TimeText(X509_get0_notAfter(cert.get()));
  }
  BIO_free(bio);
  return ok;
}

SiteResponse IssueEndpoint(const Site& site, const Json& body) {
  Bytes request, certificate;
  std::string error;
  if (!Base64Member(body, "request", &request, &error)) return Error(400, error);
  if (!Issue(site.dir, request, &certificate, &error)) return Error(422, error);
  Json out;
  if (!Describe(certificate, &out)) return Error(500, "cannot read the issued certificate");
  return Answer(out);
}

SiteResponse EnvelopeEndpoint(const Site& site, const Json& body) {
  EnvelopeRequest request;
  const auto algorithm = body.find("algorithm");
  const auto bits = body.find("bits");
  if (algorithm == body.end() || (*algorithm != "RSA" && *algorithm != "SM2"))
    return Error(400, "\"algorithm\" must be \"RSA\" or \"SM2\"");
  if (bits == body.end() || !bits->is_number_integer() || *bits < 0 || *bits > kMaxBits)
    return Error(400, "\"bits\" must be the key length, a whole number up to 4096");
  request.alg = *algorithm == "SM2" ? Alg::kSm2 : Alg::kRsa;
  request.bits = bits->get<int>();
  Bytes der;
  RequestParts parts;
  std::string error;
  if (!Base64Member(body, "request", &der, &error)) return Error(400, error);
  if (!DecodeRequest(der, &parts, &error)) return Error(422, error);
  request.temporaryKey = TemporaryKey(parts);
  if (request.temporaryKey.empty())
    return Error(422, "the request carries no temporary key (ask for a double certificate)");
  request.subjectDer = parts.subject;
  EnvelopeResult result;
  // Key generation is the costly part: two at a time, the others wait
  // their turn a while.
  static std::counting_semaphore<kKeysAtOnce> generators(kKeysAtOnce);
  if (!generators.try_acquire_for(std::chrono::seconds(30)))
    return Error(503, "the authority is busy; try again");
  const bool made = MakeEnvelope(site.dir, request, &result, &error);
  generators.release();
  if (!made) return Error(422, error);
  Json out;
  if (!Describe(result.certificateDer, &out)) return Error(500, "cannot read the issued certificate");
  out["envelope"] = result.envelope;
  return Answer(out);
}

SiteResponse FileAnswer(const Site& site, const StaticFile& file) {
  Bytes content;
  std::string error;
  if (!ReadWholeFile(site.web + "/" + file.path, &content, &error))
    return Error(404, std::string("the site has no ") + file.path);
  SiteResponse r;
  r.contentType = file.contentType;
  r.body.assign(content.begin(), content.end());
  if (r.contentType.rfind("text/html", 0) == 0) r.headers.emplace_back("Content-Security-Policy", kPagePolicy);
  return r;
}

SiteResponse Route(const Site& site, const SiteRequest& request) {
  if (request.hostHeaders != 1) return Error(400, "the request must have exactly one Host header");
  if (!IsLoopbackHost(request.host)) return Error(403, "this site answers loopback names only");
  const std::string path = request.target.substr(0, request.target.find('?'));
  for (const StaticFile& file : kFiles) {
    if (path != file.target) continue;
    if (request.method != "GET" && request.method != "HEAD") {
      SiteResponse r = Error(405, "files are read with GET");
      r.headers.emplace_back("Allow", "GET, HEAD");
      return r;
    }
    return FileAnswer(site, file);
  }
  const bool issue = path == "/api/issue", envelope = path == "/api/envelope";
  if (!issue && !envelope) return Error(404, "no such page: " + path);
  if (request.method != "POST") {
    SiteResponse r = Error(405, "the authority's endpoints take POST");
    r.headers.emplace_back("Allow", "POST");
    return r;
  }
  const std::string type = request.contentType.substr(0, request.contentType.find(';'));
  if (type != "application/json") return Error(415, "the body must be application/json");
  if (request.body.size() > kSiteBodyLimit) return Error(413, "the body is too large");
  const Json body = Json::parse(request.body, nullptr, false);
  if (body.is_discarded() || !body.is_object()) return Error(400, "the body must be a JSON object");
  return issue ? IssueEndpoint(site, body) : EnvelopeEndpoint(site, body);
}

}  // namespace

bool IsLoopbackHost(const std::string& host) {
  std::string name, port;
  if (host.rfind('[', 0) == 0) {
    const size_t close = host.find(']');
    if (close == std::string::npos) return false;
    name = host.substr(0, close + 1);
    port = host.substr(close + 1);
  } else {
    const size_t colon = host.find(':');
    name = host.substr(0, colon);
    if (colon != std::string::npos) port = host.substr(colon);
  }
  // The port, when given: ":" and one to five digits.
  if (!port.empty() &&
      (port[0] != ':' || port.size() < 2 || port.size() > 6 ||
       port.find_first_not_of("0123456789", 1) != std::string::npos))
    return false;
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  in_addr v4{};
  return name == "localhost" || name == "[::1]" ||
         (inet_pton(AF_INET, name.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127);
}

SiteResponse AnswerSite(const Site& site, const SiteRequest& request) {
  SiteResponse r;
  try {
    r = Route(site, request);
  } catch (...) {  // memory exhausted: no exception leaves the site
    r = Error(500, "the site could not answer");
  }
  r.headers.emplace_back("X-Content-Type-Options", "nosniff");
  r.headers.emplace_back("Cache-Control", "no-store");
  r.headers.emplace_back("Referrer-Policy", "no-referrer");
  return r;
}

}  // namespace testca
