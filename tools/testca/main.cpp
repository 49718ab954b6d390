// testca: the test certification authority's command for people.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <openssl/pem.h>

#include "testca/Authority.h"
#include "testca/CodeSign.h"
#include "testca/Serve.h"

namespace {

const char kUsage[] =
    "usage: testca COMMAND --dir DIR ...\n"
    "\n"
    "  init --dir DIR\n"
    "      Create an RSA hierarchy (root and intermediate, SHA-256) and an SM2\n"
    "      hierarchy (SM3 with SM2, identifier 1234567812345678) in DIR, valid\n"
    "      from a day ago for twenty years. Keys are written owner-only.\n"
    "\n"
    "  issue --dir DIR --csr FILE --out FILE\n"
    "      Verify the PKCS#10 request in FILE (DER or Base64) and write a\n"
    "      signing certificate for its subject and key, issued by the\n"
    "      intermediate of the key's algorithm, as Base64 of its DER.\n"
    "\n"
    "  chain-doc --dir DIR --rsa-out FILE --sm2-out FILE\n"
    "      Make the demo hierarchies in DIR, or reuse those already there: RSA\n"
    "      (a SHA-1 root and a SHA-256 root, each with an intermediate) and SM2\n"
    "      (root and intermediate). Write the two chain documents the module\n"
    "      carries (roots as machine root store entries, the hierarchy as a\n"
    "      PKCS#7 bundle). DIR then serves issue and envelope: they issue below\n"
    "      the SHA-256 RSA and the SM2 intermediate, chaining to the carried roots.\n"
    "\n"
    "  envelope --dir DIR --alg rsa|sm2 (--temp-key FILE | --temp-key-from-request FILE)\n"
    "           --bits N [--subject DN] --out-envelope FILE --out-cert FILE\n"
    "           [--commas N] [--sm2-session 306] [--exponent E] [--out-key FILE]\n"
    "      Generate an encryption key pair, issue its certificate for DN\n"
    "      (\"CN=a,O=b,C=CN\" or \"/C=CN/O=b/CN=a\") and write the envelope\n"
    "      that carries the private key wrapped for the temporary public key\n"
    "      (the Base64 of ZENQ_GetTempPublickey, or taken from a double\n"
    "      request; DN then defaults to the request's subject). --commas\n"
    "      breaks the Base64 texts (envelope fields, certificate) every N\n"
    "      characters; --exponent sets the RSA public exponent (65537);\n"
    "      --out-key also writes the generated key (PEM, owner-only).\n"
    "\n"
    "  serve --dir DIR --port P [--bind ADDR]... [--web DIR] [--tls]\n"
    "      Serve the bank's demo site over HTTP on loopback addresses (default\n"
    "      127.0.0.1; port 0 picks one): the enrollment page, keyloom.js, and\n"
    "      the authority's JSON endpoints POST /api/issue and /api/envelope\n"
    "      issuing from DIR as issue and envelope do. --web names the folder\n"
    "      with keyloom.js and demo/ (default: the source tree's web/). --tls\n"
    "      serves https with a certificate for the addresses issued by DIR's\n"
    "      RSA intermediate, and first prints the SHA-256 pin of its key.\n"
    "\n"
    "  codesign-cert --dir DIR\n"
    "      Write a throwaway Authenticode signer into DIR: codesign.crt (the\n"
    "      code-signing certificate, then its root), codesign.key (owner-only)\n"
    "      and codesign-root.crt, the trust anchor to verify against.\n"
    "\n"
    "Exit status: 0 done, 1 failed (the reason on standard error), 2 usage.\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

int Fail(const std::string& error) {
  std::fprintf(stderr, "testca: %s\n", error.c_str());
  return 1;
}

// --name value pairs; false on a stray or repeated argument.
bool ParseOptions(int argc, char** argv, std::map<std::string, std::string>* options) {
  for (int i = 2; i < argc; i += 2) {
    const std::string name = argv[i];
    if (name.rfind("--", 0) != 0 || i + 1 >= argc || !options->emplace(name, argv[i + 1]).second)
      return false;
  }
  return true;
}

bool Number(const std::string& text, long* value) {
  char* end = nullptr;
  *value = std::strtol(text.c_str(), &end, 10);
  return !text.empty() && *end == '\0' && *value >= 0 && *value <= 1000000;
}

bool ReadOctets(const std::string& path, testca::Bytes* octets, std::string* error) {
  testca::Bytes content;
  return testca::ReadWholeFile(path, &content, error) && testca::FileOctets(content, octets, error);
}

int Envelope(std::map<std::string, std::string>& o) {
  testca::EnvelopeRequest request;
  std::string error;
  const std::string alg = o["--alg"];
  if (alg != "rsa" && alg != "sm2") return Usage();
  request.alg = alg == "sm2" ? testca::Alg::kSm2 : testca::Alg::kRsa;
  const bool fromFile = o.count("--temp-key") != 0, fromRequest = o.count("--temp-key-from-request") != 0;
  long bits = 0, commas = 0, session = 0, exponent = 65537;
  if (fromFile == fromRequest || !Number(o["--bits"], &bits) || (fromFile && o["--subject"].empty()) ||
      o["--out-envelope"].empty() || o["--out-cert"].empty() ||
      (o.count("--commas") && !Number(o["--commas"], &commas)) ||
      (o.count("--sm2-session") && !Number(o["--sm2-session"], &session)) ||
      (o.count("--exponent") && !Number(o["--exponent"], &exponent)))
    return Usage();
  request.bits = static_cast<int>(bits);
  request.commas = static_cast<size_t>(commas);
  request.sm2SessionType = static_cast<int>(session);
  request.exponent = static_cast<unsigned long>(exponent);
  request.subject = o["--subject"];
  if (fromFile) {
    if (!ReadOctets(o["--temp-key"], &request.temporaryKey, &error)) return Fail(error);
  } else {
    testca::Bytes der;
    testca::RequestParts parts;
    if (!ReadOctets(o["--temp-key-from-request"], &der, &error) ||
        !testca::DecodeRequest(der, &parts, &error))
      return Fail(error);
    request.temporaryKey = testca::TemporaryKey(parts);
    if (request.temporaryKey.empty()) return Fail("the request carries no temporaryKey attribute");
    request.subjectDer = parts.subject;
  }
  testca::EnvelopeResult result;
  if (!testca::MakeEnvelope(o["--dir"], request, &result, &error) ||
      !testca::WriteWholeFile(o["--out-envelope"], result.envelope, 0644, false, &error) ||
      !testca::WriteWholeFile(o["--out-cert"], result.certificate, 0644, false, &error))
    return Fail(error);
  if (o.count("--out-key")) {
    BIO* bio = BIO_new(BIO_s_secmem());
    char* data = nullptr;
    const bool ok = bio != nullptr &&
                    PEM_write_bio_PrivateKey(bio, result.key.get(), nullptr, nullptr, 0, nullptr,
                                             nullptr) == 1;
    const long size = ok ? BIO_get_mem_data(bio, &data) : 0;
    std::string pem = size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
    const bool written = !pem.empty() && testca::WriteWholeFile(o["--out-key"], pem, 0600, false, &error);
    OPENSSL_cleanse(pem.data(), pem.size());
    BIO_free(bio);
    if (!written) return Fail(error.empty() ? "cannot write the key" : error);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc >= 2 && std::string(argv[1]) == "serve") return testca::ServeCommand(argc, argv);
  std::map<std::string, std::string> o;
  if (argc < 2 || !ParseOptions(argc, argv, &o) || o["--dir"].empty()) return Usage();
  const std::string command = argv[1];
  std::string error;
  if (command == "init") {
    if (o.size() != 1) return Usage();
    return testca::Init(o["--dir"], &error) ? 0 : Fail(error);
  }
  if (command == "issue") {
    if (o.size() != 3 || o["--csr"].empty() || o["--out"].empty()) return Usage();
    testca::Bytes der, certificate;
    if (!ReadOctets(o["--csr"], &der, &error) || !testca::Issue(o["--dir"], der, &certificate, &error) ||
        !testca::WriteWholeFile(o["--out"], testca::Base64Field(certificate, 0, false), 0644, false, &error))
      return Fail(error);
    return 0;
  }
  if (command == "envelope") return Envelope(o);
  if (command == "chain-doc") {
    if (o.size() != 3 || o["--rsa-out"].empty() || o["--sm2-out"].empty()) return Usage();
    return testca::WriteChainDocuments(o["--dir"], o["--rsa-out"], o["--sm2-out"], &error) ? 0
                                                                                          : Fail(error);
  }
  if (command == "codesign-cert") {
    if (o.size() != 1) return Usage();
    return testca::MakeCodeSigningCertificate(o["--dir"], &error) ? 0 : Fail(error);
  }
  return Usage();
}
