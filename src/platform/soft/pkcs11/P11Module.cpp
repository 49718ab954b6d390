// The PKCS#11 module, the token, its session and the login.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "base/Platform.h"
#include "encoding/Unicode.h"
#include "platform/soft/pkcs11/P11.h"
#include "platform/soft/registry/SoftDatabase.h"
#include "platform/soft/registry/SoftHomeFiles.h"

namespace {

constexpr const char* kDefaultModule = "p11-kit-proxy.so";

std::mutex& ModuleMutex() {
  static auto* m = new std::mutex;
  return *m;
}

struct ModuleState {
  void* library = nullptr;
  bool initialized = false;
  bool broken = false;  // closed at the next P11Open
  uint64_t generation = 0;
  P11Token token;
};

ModuleState& State() {
  static auto* s = new ModuleState;
  return *s;
}

// The thread's login: the token generation it gave the PIN for.
thread_local uint64_t t_loginGeneration = 0;

std::string Trimmed(const CK_UTF8CHAR* text, size_t size) {
  std::string s(reinterpret_cast<const char*>(text), size);
  while (!s.empty() && (s.back() == ' ' || s.back() == 0)) s.pop_back();
  return s;
}

void Close(ModuleState& s) {
  if (s.token.f != nullptr) {
    if (s.token.session != CK_INVALID_HANDLE) s.token.f->C_CloseSession(s.token.session);
    if (s.initialized) s.token.f->C_Finalize(nullptr);
  }
  if (s.library != nullptr) dlclose(s.library);
  s.library = nullptr;
  s.initialized = false;
  s.broken = false;
  s.token = P11Token();
}

DWORD Load(ModuleState& s) {
  const char* path = std::getenv("KEYLOOM_PKCS11_MODULE");
  if (path == nullptr || *path == 0) path = kDefaultModule;
  s.library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (s.library == nullptr) return kScardNoSmartcard;
  auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(s.library, "C_GetFunctionList"));
  if (getList == nullptr || getList(&s.token.f) != CKR_OK || s.token.f == nullptr)
    return kScardNoSmartcard;
  CK_C_INITIALIZE_ARGS args{};
  args.flags = CKF_OS_LOCKING_OK;
  const CK_RV rv = s.token.f->C_Initialize(&args);
  if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) return kScardNoSmartcard;
  s.initialized = rv == CKR_OK;
  return ERROR_SUCCESS;
}

// The slot of the chosen token: the one named by KEYLOOM_PKCS11_TOKEN
// (label or serial), else the first initialised token that can be written.
DWORD FindSlot(ModuleState& s) {
  CK_ULONG count = 0;
  if (s.token.f->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK) return kScardNoSmartcard;
  std::vector<CK_SLOT_ID> slots(count);
  if (count == 0 || s.token.f->C_GetSlotList(CK_TRUE, slots.data(), &count) != CKR_OK)
    return kScardNoSmartcard;
  const char* wanted = std::getenv("KEYLOOM_PKCS11_TOKEN");
  for (CK_ULONG i = 0; i < count; ++i) {
    CK_TOKEN_INFO info{};
    if (s.token.f->C_GetTokenInfo(slots[i], &info) != CKR_OK) continue;
    const std::string label = Trimmed(info.label, sizeof info.label);
    const std::string serial = Trimmed(info.serialNumber, sizeof info.serialNumber);
    const bool chosen = wanted != nullptr && *wanted != 0
                            ? label == wanted || serial == wanted
                            : (info.flags & CKF_TOKEN_INITIALIZED) != 0 &&
                                  (info.flags & CKF_WRITE_PROTECTED) == 0;
    if (!chosen) continue;
    s.token.slot = slots[i];
    s.token.label = label;
    return ERROR_SUCCESS;
  }
  return kScardNoSmartcard;
}

// Other processes of the user (the agent, the tool) reach the same token.
// A software token such as SoftHSM2's file store misreads its files while
// another process writes them (a login then fails), so the calls are also
// serialised across processes: an advisory lock on "pkcs11.lock" in the
// user's home. The wait is bounded by the longest a holder may take (a user
// typing a PIN); past it, or without a usable home, the call goes ahead
// unserialised, as a hardware token's own middleware would have it.
int LockAcrossProcesses() {
  constexpr int kWaitSeconds = 330;
  const std::string home = SoftHomePath(SoftScope::kUser);
  if (home.empty() || SoftCheckHome(home, true) != ERROR_SUCCESS) return -1;
  const int fd = open((home + "/pkcs11.lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  for (int waited = 0; waited < kWaitSeconds * 100; ++waited) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
    const timespec tick{0, 10 * 1000 * 1000};
    nanosleep(&tick, nullptr);
  }
  close(fd);
  return -1;
}

}  // namespace

P11Lock::P11Lock() {
  ModuleMutex().lock();
  fd_ = LockAcrossProcesses();
}
P11Lock::~P11Lock() {
  if (fd_ >= 0) close(fd_);  // releases the lock
  ModuleMutex().unlock();
}

DWORD P11Open(P11Token** token) {
  ModuleState& s = State();
  if (s.broken) Close(s);
  if (s.token.session != CK_INVALID_HANDLE) {
    // A session whose token went away is noticed here, before it is used.
    CK_SESSION_INFO info{};
    const CK_RV rv = s.token.f->C_GetSessionInfo(s.token.session, &info);
    if (rv == CKR_OK) {
      *token = &s.token;
      return ERROR_SUCCESS;
    }
    Close(s);
  }
  DWORD e = s.library == nullptr ? Load(s) : ERROR_SUCCESS;
  if (e == ERROR_SUCCESS) e = FindSlot(s);
  if (e == ERROR_SUCCESS &&
      s.token.f->C_OpenSession(s.token.slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                               &s.token.session) != CKR_OK) {
    s.token.session = CK_INVALID_HANDLE;
    e = kScardNoSmartcard;
  }
  if (e != ERROR_SUCCESS) {
    Close(s);
    return e;
  }
  s.token.generation = ++s.generation;
  *token = &s.token;
  return ERROR_SUCCESS;
}

DWORD P11Status(CK_RV rv) {
  switch (rv) {
    case CKR_OK: return ERROR_SUCCESS;
    case CKR_PIN_INCORRECT:
    case CKR_PIN_INVALID:
    case CKR_PIN_LEN_RANGE: return kScardWrongChv;
    case CKR_PIN_LOCKED: return kScardChvBlocked;
    case CKR_USER_NOT_LOGGED_IN: return kScardCancelledByUser;
    case CKR_HOST_MEMORY:
    case CKR_DEVICE_MEMORY: return static_cast<DWORD>(NTE_NO_MEMORY);
    case CKR_KEY_SIZE_RANGE:
    case CKR_TEMPLATE_INCONSISTENT: return static_cast<DWORD>(NTE_BAD_FLAGS);
    case CKR_MECHANISM_INVALID: return static_cast<DWORD>(NTE_BAD_ALGID);
    case CKR_ENCRYPTED_DATA_INVALID:
    case CKR_ENCRYPTED_DATA_LEN_RANGE:
    case CKR_WRAPPED_KEY_INVALID:
    case CKR_WRAPPED_KEY_LEN_RANGE:
    case CKR_DATA_LEN_RANGE:
    case CKR_DATA_INVALID: return static_cast<DWORD>(NTE_BAD_DATA);
    case CKR_BUFFER_TOO_SMALL: return ERROR_MORE_DATA;
    default: break;
  }
  // The token went away, or the module failed: the next call starts anew.
  State().broken = true;
  switch (rv) {
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_DEVICE_REMOVED:
    case CKR_TOKEN_NOT_RECOGNIZED:
    case CKR_SESSION_HANDLE_INVALID:
    case CKR_SESSION_CLOSED:
    case CKR_SLOT_ID_INVALID:
    case CKR_CRYPTOKI_NOT_INITIALIZED:
    case CKR_DEVICE_ERROR: return kScardNoSmartcard;
    default: return static_cast<DWORD>(NTE_FAIL);
  }
}

DWORD P11Login(P11Token& token) {
  CK_SESSION_INFO session{};
  CK_RV rv = token.f->C_GetSessionInfo(token.session, &session);
  if (rv != CKR_OK) return P11Status(rv);
  const bool loggedIn = session.state == CKS_RW_USER_FUNCTIONS || session.state == CKS_RO_USER_FUNCTIONS;
  if (loggedIn && t_loginGeneration == token.generation) return ERROR_SUCCESS;
  CK_TOKEN_INFO info{};
  rv = token.f->C_GetTokenInfo(token.slot, &info);
  if (rv != CKR_OK) return P11Status(rv);
  if (info.flags & CKF_USER_PIN_LOCKED) return kScardChvBlocked;

  SecretBytes pin;
  if ((info.flags & CKF_PROTECTED_AUTHENTICATION_PATH) == 0) {
    auto text = [](UINT id) {
      char16_t buffer[256] = {};
      const int n = Plat().LoadStringW(nullptr, id, buffer, 256);
      return Utf16ToUtf8(std::u16string_view(buffer, n > 0 ? static_cast<size_t>(n) : 0));
    };
    std::string description = text(kPinDescriptionId);
    if (const size_t at = description.find("%1"); at != std::string::npos)
      description.replace(at, 2, token.label);
    if (DWORD e = P11AskPin(description, text(kPinPromptId), &pin)) return e;
  }
  // Another thread's login is not this one's: it proves its own PIN.
  if (loggedIn) token.f->C_Logout(token.session);
  rv = token.f->C_Login(token.session, CKU_USER, pin.empty() ? nullptr : pin.data(), pin.size());
  if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) return P11Status(rv);
  t_loginGeneration = token.generation;
  return ERROR_SUCCESS;
}
