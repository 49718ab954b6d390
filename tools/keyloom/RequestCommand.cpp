#include "keyloom/RequestCommand.h"

#include <cstdio>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "encoding/Base64.h"
#include "encoding/Buffer.h"
#include "encoding/Unicode.h"
#include "encoding/Json.h"
#include "request/RequestReader.h"

namespace {

constexpr char kPrefix[] = "keyloom request inspect";

bool ReadAll(const std::string& path, std::vector<BYTE>* data) {
  FILE* file = stdin;
  if (path == "-") {
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);
#endif
  } else if ((file = std::fopen(path.c_str(), "rb")) == nullptr) {
    return false;
  }
  BYTE chunk[4096];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) data->insert(data->end(), chunk, chunk + got);
  const bool ok = !std::ferror(file);
  if (file != stdin) std::fclose(file);
  return ok;
}

std::string Base64(const std::vector<BYTE>& data) {
  char* text = nullptr;
  DWORD length = 0;
  if (FAILED(Base64EncodeEx(data.data(), static_cast<DWORD>(data.size()), &text, &length,
                            B64_NO_CRLF)))
    return {};
  const ScopedBuffer<char> holder(text);
  return std::string(text, length);
}

std::string Json(const RequestSummary& r) {
  std::string out = "{\"subject\":" + JsonString(Utf16ToUtf8(r.subject)) +
                    ",\"keyAlgorithm\":" + JsonString(r.keyAlgorithm) +
                    ",\"keyBits\":" + std::to_string(r.keyBits) +
                    ",\"signatureAlgorithm\":" + JsonString(r.signatureAlgorithm) +
                    ",\"attributes\":[";
  for (size_t i = 0; i < r.attributes.size(); ++i) {
    const RequestAttribute& a = r.attributes[i];
    const std::string value = a.text ? std::string(a.value.begin(), a.value.end()) : Base64(a.value);
    out += std::string(i ? "," : "") + "{\"oid\":" + JsonString(a.oid) + ",\"form\":\"" +
           (a.special ? "special" : "pkcs9") + "\",\"value\":" + JsonString(value) + "}";
  }
  return out + "],\"signatureValid\":" + (r.signatureValid ? "true" : "false") + "}";
}

int Inspect(const std::string& path) {
  std::vector<BYTE> input, der;
  if (!ReadAll(path, &input)) {
    std::fprintf(stderr, "%s: %s cannot be read\n", kPrefix, path.c_str());
    return 1;
  }
  RequestSummary summary;
  HRESULT hr = RequestOctets(input, &der);
  if (SUCCEEDED(hr)) hr = ReadCertRequest(der, &summary);
  if (FAILED(hr)) {
    std::fprintf(stderr, "%s: not a certification request: 0x%08x\n", kPrefix,
                 static_cast<unsigned>(hr));
    return 1;
  }
  std::printf("%s\n", Json(summary).c_str());
  if (summary.signatureValid) return 0;
  // A platform without the algorithm (SM2 where no provider registered it)
  // cannot check the signature; that is not the same as a bad signature.
  const bool checked = summary.signatureStatus == NTE_BAD_SIGNATURE;
  std::fprintf(stderr, "%s: %s: 0x%08x\n", kPrefix,
               checked ? "the signature does not verify" : "the signature cannot be checked",
               static_cast<unsigned>(summary.signatureStatus));
  return 1;
}

}  // namespace

int RunRequestCommand(const std::vector<std::string>& args) {
  if (args.size() == 2 && args[0] == "inspect") return Inspect(args[1]);
  return 2;
}
