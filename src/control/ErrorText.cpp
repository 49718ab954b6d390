#include "control/ErrorText.h"

#include <cstdio>

#include "base/Platform.h"
#include "base/ModuleState.h"
#include "control/ICryptoAgent.h"

std::u16string DescribeStatus(HRESULT status) {
  const Platform& p = Plat();
  const DWORD code = static_cast<DWORD>(status);
  char16_t text[512] = {};
  if (code & 0x20000000u) {
    if (p.LoadStringW(Module().instance, code & 0xFFFFu, text, 512) <= 0) text[0] = 0;
  } else if (p.FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0, text, 511,
                              nullptr) == 0) {
    text[0] = 0;
  }
  text[511] = 0;
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, "\n(0x%08x)", static_cast<unsigned>(code));
  const size_t suffixLength = std::char_traits<char>::length(suffix);
  size_t length = std::char_traits<char16_t>::length(text);
  if (length > 511 - suffixLength) length = 511 - suffixLength;
  std::u16string result(text, length);
  for (size_t i = 0; i < suffixLength; ++i) result.push_back(static_cast<char16_t>(suffix[i]));
  return result;
}

void ReportErrorInfo(HRESULT status) {
  const Platform& p = Plat();
  ICreateErrorInfo* create = nullptr;
  if (FAILED(p.CreateErrorInfo(&create)) || create == nullptr) return;
  std::u16string text = DescribeStatus(status);
  std::u16string source = u"Keyloom.CryptoAgent.Tessel_V1.X64";
  IErrorInfo* info = nullptr;
  if (SUCCEEDED(create->SetGUID(IID_ICryptoAgent)) &&
      SUCCEEDED(create->SetSource(W(source.data()))) &&
      SUCCEEDED(create->SetDescription(W(text.data()))) &&
      SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
    p.SetErrorInfo(0, info);
    info->Release();
  }
  create->Release();
}
