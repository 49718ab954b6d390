// A PKCS#11 module for the tests: SoftHSM2's, but with the user PIN
// blocked, which SoftHSM2 itself never does. KEYLOOM_TEST_BLOCKED says how
// the token shows it: "login" answers C_Login with CKR_PIN_LOCKED (the
// attempt that blocks it), "flag" also sets CKF_USER_PIN_LOCKED in the
// token's information (blocked before this process came).
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

#include <cstdlib>
#include <cstring>

namespace {

CK_FUNCTION_LIST g_list;
CK_FUNCTION_LIST* g_softhsm = nullptr;

CK_RV Login(CK_SESSION_HANDLE, CK_USER_TYPE, CK_UTF8CHAR*, CK_ULONG) { return CKR_PIN_LOCKED; }

CK_RV GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO* info) {
  const CK_RV rv = g_softhsm->C_GetTokenInfo(slot, info);
  const char* how = std::getenv("KEYLOOM_TEST_BLOCKED");
  if (rv == CKR_OK && how != nullptr && std::strcmp(how, "flag") == 0) info->flags |= CKF_USER_PIN_LOCKED;
  return rv;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST** list) {
  if (g_softhsm == nullptr) {
    void* library = dlopen("/usr/lib/softhsm/libsofthsm2.so", RTLD_NOW | RTLD_LOCAL);
    auto get = library ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList")) : nullptr;
    if (get == nullptr || get(&g_softhsm) != CKR_OK) return CKR_GENERAL_ERROR;
    g_list = *g_softhsm;
    g_list.C_Login = Login;
    g_list.C_GetTokenInfo = GetTokenInfo;
  }
  *list = &g_list;
  return CKR_OK;
}
