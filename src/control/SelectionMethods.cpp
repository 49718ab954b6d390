// The selection methods: provider and key length, key algorithm, and the
// container name in use.
#include "control/CryptoAgent.h"
#include "base/Status.h"
#include "trace/Trace.h"

TRACE_COMPONENT("SelectionMethods");

namespace {

bool Contains(const std::u16string& text, std::u16string_view part) {
  return text.find(part) != std::u16string::npos;
}

// Key lengths a software ("Microsoft") provider accepts; other providers
// accept any length that fits in 16 bits.
bool KeyLengthAccepted(const std::u16string& name, LONG bits, const char16_t** refusal) {
  if (!Contains(name, u"Microsoft")) {
    // The length travels in the upper 16 bits of the key-generation flags:
    // a longer one would be cut to another length without notice.
    if (bits >= 0 && bits <= 0xFFFF) return true;
    *refusal = u"key length doesnot fit in 16 bits.";
    return false;
  }
  if (Contains(name, u"Base")) {
    *refusal = u"key length doesnot support(base).";
    return bits == 512 || bits == 1024;
  }
  *refusal = u"key length doesnot support(non-base).";
  return bits == 512 || bits == 1024 || bits == 2048 || bits == 4096;
}

}  // namespace

HRESULT CCryptoAgent::ZENQ_SetCSPInfo(LONG lKeyLength, BSTR bstrCSPName,
                                      VARIANT_BOOL* pbSuccess) {
  static constexpr char16_t kName[] = u"CCryptoAgent::ZENQ_SetCSPInfo";
  TraceHelper trace("CCryptoAgent::ZENQ_SetCSPInfo");
  if (IsMissing(bstrCSPName) || pbSuccess == nullptr) {
    TraceStep(kName, u"Invalid parameter.", E_INVALIDARG);
    return Finish(E_INVALIDARG);
  }
  TraceStep(kName, u"Invalid parameter.", S_OK);
  TRACE_VALUE(U16(bstrCSPName), lKeyLength);

  std::u16string name = TrimSpaces(U16(bstrCSPName), SysStringLen(bstrCSPName));
  if (name.empty()) {
    TraceStep(kName, u"CSP name cannot be NULL.", E_INVALIDARG);
    return Finish(E_INVALIDARG);
  }
  TraceStep(kName, u"CSP name cannot be NULL.", S_OK);

  const char16_t* refusal = nullptr;
  if (!KeyLengthAccepted(name, lKeyLength, &refusal)) {
    TraceStep(kName, refusal, KL_E_KEY_LENGTH);
    return Finish(KL_E_KEY_LENGTH);
  }
  if (refusal) TraceStep(kName, refusal, S_OK);

  // Pages sometimes pass the provider name HTML-escaped; only the first
  // "&amp;" is undone.
  const size_t amp = name.find(u"&amp;");
  if (amp != std::u16string::npos) name = name.substr(0, amp) + u"&" + name.substr(amp + 5);

  m_lKeyLength = lKeyLength;
  m_strCSPName = std::move(name);
  *pbSuccess = VARIANT_TRUE;
  return Finish(S_OK);
}

HRESULT CCryptoAgent::ZENQ_SetKeyAlgorithm(BSTR bstrKeyAlgorithm, VARIANT_BOOL* pbSuccess) {
  static constexpr char16_t kName[] = u"CCryptoAgent::ZENQ_SetKeyAlgorithm";
  TraceHelper trace("CCryptoAgent::ZENQ_SetKeyAlgorithm");
  if (IsMissing(bstrKeyAlgorithm) || pbSuccess == nullptr) {
    TraceStep(kName, u"Invalid parameter.", E_INVALIDARG);
    return Finish(E_INVALIDARG);
  }
  TraceStep(kName, u"Invalid parameter.", S_OK);

  std::u16string algorithm = TrimSpaces(U16(bstrKeyAlgorithm), SysStringLen(bstrKeyAlgorithm));
  if (algorithm.empty()) {
    TraceStep(kName, u"key algorithm.", E_INVALIDARG);
    return Finish(E_INVALIDARG);
  }
  TraceStep(kName, u"key algorithm.", S_OK);

  if (!EqualsAsciiNoCase(algorithm, u"RSA") && !EqualsAsciiNoCase(algorithm, u"SM2")) {
    TraceStep(kName, u"key algorithm does not support.", KL_E_KEY_ALGORITHM);
    return Finish(KL_E_KEY_ALGORITHM);
  }
  TraceStep(kName, u"key algorithm does not support.", S_OK);

  m_strKeyAlgorithm = std::move(algorithm);
  *pbSuccess = VARIANT_TRUE;
  return Finish(S_OK);
}

HRESULT CCryptoAgent::ZENQ_GetContainer(BSTR* pbstrContainerName) {
  TraceHelper trace("CCryptoAgent::ZENQ_GetContainer");
  if (pbstrContainerName == nullptr) return Finish(E_POINTER);
  TRACE_VALUE(m_strContainerName.c_str());
  *pbstrContainerName = AllocBstr(m_strContainerName);
  if (*pbstrContainerName == nullptr) return Finish(E_OUTOFMEMORY);
  return Finish(S_OK);
}
