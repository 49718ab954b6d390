#include "keyloom/agent/Handshake.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/Platform.h"
#include "encoding/Unicode.h"

namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A decimal port 1..65535 without a sign or leading zero.
bool IsPort(std::string_view text) {
  if (text.empty() || text.size() > 5 || text[0] == '0') return false;
  if (!std::all_of(text.begin(), text.end(), IsDigit)) return false;
  return std::atoi(std::string(text).c_str()) <= 65535;
}

bool IsHostChar(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '.';
}

bool IsIpv6Char(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' || c == '.';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// The q-value of one Accept-Language entry's parameters, in thousandths;
// 1000 when absent, -1 when malformed.
int QualityOf(std::string_view params) {
  int quality = 1000;
  while (!params.empty()) {
    const size_t semi = params.find(';');
    const std::string_view param = Trim(params.substr(0, semi));
    params = semi == std::string_view::npos ? std::string_view() : params.substr(semi + 1);
    if (param.size() < 2 || (param[0] != 'q' && param[0] != 'Q') || param[1] != '=') continue;
    const std::string_view value = param.substr(2);
    if (value.empty() || value.size() > 5 || (value[0] != '0' && value[0] != '1')) return -1;
    quality = (value[0] - '0') * 1000;
    if (value.size() > 1) {
      if (value[1] != '.') return -1;
      int scale = 100;
      for (char c : value.substr(2)) {
        if (!IsDigit(c)) return -1;
        quality += (c - '0') * scale;
        scale /= 10;
      }
    }
    if (quality > 1000) return -1;
  }
  return quality;
}

enum class Offered { kNone, kEnglish, kChinese };

Offered OfferedLanguage(const std::string& tag) {
  if (tag == "en" || tag.starts_with("en-")) return Offered::kEnglish;
  if (tag == "zh" || tag == "zh-cn" || tag == "zh-sg" || tag.starts_with("zh-cn-") ||
      tag.starts_with("zh-sg-") || tag == "zh-hans" || tag.starts_with("zh-hans-"))
    return Offered::kChinese;
  return Offered::kNone;
}

}  // namespace

bool IsAgentHost(std::string_view host, unsigned port) {
  const std::string lower = Lower(host);
  const size_t colon = lower.rfind(':');
  if (colon == std::string::npos || lower.compare(colon + 1, std::string::npos, std::to_string(port)) != 0)
    return false;
  const std::string_view name = std::string_view(lower).substr(0, colon);
  return name == "127.0.0.1" || name == "[::1]" || name == "localhost";
}

bool IsOriginShaped(std::string_view origin) {
  std::string_view rest;
  if (origin.starts_with("http://")) rest = origin.substr(7);
  else if (origin.starts_with("https://")) rest = origin.substr(8);
  else return false;
  std::string_view host = rest, port;
  if (!rest.empty() && rest.front() == '[') {
    const size_t close = rest.find(']');
    if (close == std::string_view::npos || close < 3) return false;
    host = rest.substr(0, close + 1);
    if (!std::all_of(host.begin() + 1, host.end() - 1, IsIpv6Char)) return false;
    rest.remove_prefix(close + 1);
    if (!rest.empty() && (rest.front() != ':' || !IsPort(rest.substr(1)))) return false;
    return true;
  }
  const size_t colon = rest.find(':');
  if (colon != std::string_view::npos) {
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
    if (!IsPort(port)) return false;
  }
  return !host.empty() && host.front() != '.' && host.front() != '-' &&
         std::all_of(host.begin(), host.end(), IsHostChar);
}

bool IsTrustedOrigin(std::string_view origin) {
  if (!IsOriginShaped(origin)) return false;
  const Platform& p = Plat();
  void* security = nullptr;
  if (FAILED(p.CoCreateInstance(CLSID_InternetSecurityManager, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IInternetSecurityManager, &security)) ||
      security == nullptr)
    return false;
  const std::u16string url = Utf8ToUtf16(origin);
  DWORD zone = URLZONE_INTERNET;
  const HRESULT hr = p.MapUrlToZone(security, url.c_str(), &zone, 0);
  p.ComRelease(security);
  return hr == S_OK && zone == URLZONE_TRUSTED;
}

bool IsAdmittedOrigin(std::string_view origin, const std::vector<std::string>& allowed) {
  if (!IsOriginShaped(origin)) return false;
  const std::string lower = Lower(origin);
  for (const std::string& named : allowed)
    if (Lower(named) == lower) return true;
  return lower.starts_with("https://") && IsTrustedOrigin(origin);
}

bool IsOriginFormTarget(std::string_view target) { return !target.empty() && target.front() == '/'; }

bool PrefersSimplifiedChinese(std::string_view header) {
  struct Entry {
    std::string tag;
    int quality;
  };
  std::vector<Entry> entries;
  while (!header.empty() && entries.size() < 64) {
    const size_t comma = header.find(',');
    const std::string_view item = header.substr(0, comma);
    header = comma == std::string_view::npos ? std::string_view() : header.substr(comma + 1);
    const size_t semi = item.find(';');
    const std::string tag = Lower(Trim(item.substr(0, semi)));
    const int quality =
        semi == std::string_view::npos ? 1000 : QualityOf(item.substr(semi + 1));
    if (!tag.empty() && quality > 0) entries.push_back({tag, quality});
  }
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Entry& a, const Entry& b) { return a.quality > b.quality; });
  for (const Entry& e : entries) {
    const Offered offered = OfferedLanguage(e.tag);
    if (offered != Offered::kNone) return offered == Offered::kChinese;
  }
  return false;
}
