#include "control/DispatchTable.h"

namespace {
constexpr ParamKind L = ParamKind::kLong;
constexpr ParamKind S = ParamKind::kBstr;
}  // namespace

const DispatchEntry kDispatchTable[13] = {
    {1, u"ZENQ_CheckCertificateChain", 0, {}, ResultKind::kBool},
    {2, u"ZENQ_GetCSPInfo", 0, {}, ResultKind::kBstr},
    {3, u"ZENQ_SetCSPInfo", 2, {L, S}, ResultKind::kBool},
    {4, u"ZENQ_SetKeyAlgorithm", 1, {S}, ResultKind::kBool},
    {5, u"ZENQ_GetTempPublickey", 0, {}, ResultKind::kBstr},
    {6, u"ZENQ_ImportEncryptCert", 4, {S, S, S, L}, ResultKind::kBool},
    {7, u"ZENQ_GetContainer", 0, {}, ResultKind::kBstr},
    {8, u"ZENQ_ImportSignCert", 3, {L, S, S}, ResultKind::kBool},
    {9, u"ZENQ_PKCS10CertRequisition", 3, {S, L, L}, ResultKind::kBstr},
    {10, u"ZENQ_GetAllCertInfo", 0, {}, ResultKind::kBstr},
    {11, u"ZENQ_HavePermissiontoGenerateKeyPair", 0, {}, ResultKind::kBool},
    {12, u"ZENQ_PKCS10CertRequisitionwithMD5", 3, {S, L, L}, ResultKind::kBstr},
    {99, u"GetLastErrorDesc", 0, {}, ResultKind::kBstr},
};

const DispatchEntry* FindDispatchEntry(DISPID id) {
  for (const DispatchEntry& e : kDispatchTable)
    if (e.id == id) return &e;
  return nullptr;
}

const DispatchEntry* FindDispatchEntryByName(const char16_t* name) {
  if (name == nullptr) return nullptr;
  for (const DispatchEntry& e : kDispatchTable) {
    size_t i = 0;
    for (;; ++i) {
      char16_t a = e.name[i], b = name[i];
      if (a >= u'a' && a <= u'z') a = static_cast<char16_t>(a - 32);
      if (b >= u'a' && b <= u'z') b = static_cast<char16_t>(b - 32);
      if (a != b) break;
      if (a == 0) return &e;
    }
  }
  return nullptr;
}
