// pkcs11/: "Keyloom PKCS#11 Token Provider", RSA keys on any token that has
// a PKCS#11 module (a smart card or USB key through p11-kit, SoftHSM2 in
// tests).
//
// The module is loaded with dlopen from KEYLOOM_PKCS11_MODULE (default:
// p11-kit's proxy, so every token the system's p11-kit knows is reachable);
// the token is the one whose label or serial is KEYLOOM_PKCS11_TOKEN, else
// the first initialised, writable token present. One read-write session
// per process serves every thread (PKCS#11 logs an application in, not a
// session); each thread (one agent connection, or one tool run) gives the
// PIN once through pinentry before its first private-key operation.
//
// A container is a key pair whose CKA_ID is derived from the container name
// and the key spec, and whose CKA_LABEL is the name; its certificate is a
// certificate object with the key's CKA_ID.
#pragma once

#include <p11-kit/pkcs11.h>

#include <string>
#include <vector>

#include "platform/soft/SoftOssl.h"

// Statuses of the smart-card subsystem the provider answers with.
constexpr DWORD kScardNoSmartcard = 0x8010000Cu;     // SCARD_E_NO_SMARTCARD
constexpr DWORD kScardWrongChv = 0x8010006Bu;        // SCARD_W_WRONG_CHV
constexpr DWORD kScardChvBlocked = 0x8010006Cu;      // SCARD_W_CHV_BLOCKED
constexpr DWORD kScardCancelledByUser = 0x8010006Eu;  // SCARD_W_CANCELLED_BY_USER

// String table entries of the PIN prompt ("%1" stands for the token label).
constexpr UINT kPinDescriptionId = 9472;
constexpr UINT kPinPromptId = 9473;

// The provider's name, as listed after the soft platform's providers.
inline constexpr char16_t kP11ProviderName[] = u"Keyloom PKCS#11 Token Provider";

// The open token: the module's function list, the session and its slot.
// Each call that uses it holds P11Lock for as long as it uses the session.
struct P11Token {
  CK_FUNCTION_LIST* f = nullptr;
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  CK_SLOT_ID slot = 0;
  std::string label;     // blank padding removed
  uint64_t generation = 0;  // changes whenever the module is opened anew
};

// Holds the module lock for its lifetime: against the other threads of
// this process, and against the user's other processes.
class P11Lock {
 public:
  P11Lock();
  ~P11Lock();
  P11Lock(const P11Lock&) = delete;
  P11Lock& operator=(const P11Lock&) = delete;

 private:
  int fd_ = -1;  // the lock file held across processes; -1: none
};

// Opens the module, the token and the session if they are not open yet
// (the caller holds P11Lock). ERROR_SUCCESS with *token set; kScardNoSmartcard
// when the module cannot be loaded or no token is present.
DWORD P11Open(P11Token** token);
// Makes sure the calling thread has given the PIN for the open token: asks
// it through pinentry (once per thread and token) and logs in. Statuses:
// kScardWrongChv, kScardChvBlocked, kScardCancelledByUser, kScardNoSmartcard.
DWORD P11Login(P11Token& token);
// The status of a failed PKCS#11 call. A token that went away, or a module
// that failed, also closes the module so that the next call opens it anew.
DWORD P11Status(CK_RV rv);

// Asks the user for a PIN through the pinentry program (KEYLOOM_PINENTRY,
// default "pinentry") with `description` and `prompt` (UTF-8). ERROR_SUCCESS
// with *pin set; kScardCancelledByUser when the user cancelled, the program
// failed or did not answer in time. The PIN is wiped with *pin.
DWORD P11AskPin(const std::string& description, const std::string& prompt, SecretBytes* pin);

// Objects of containers (the caller holds P11Lock and has opened the token).
// The CKA_ID of key `spec` (AT_KEYEXCHANGE or AT_SIGNATURE) of `container`.
std::vector<BYTE> P11KeyId(const std::string& container, DWORD spec);
// Handles of the objects of `cls` with that id; private objects are found
// only when logged in.
DWORD P11Find(P11Token& token, CK_OBJECT_CLASS cls, const std::vector<BYTE>& id,
              std::vector<CK_OBJECT_HANDLE>* found);
// Names of the containers on the token (labels of public keys whose CKA_ID
// is derived from the label).
DWORD P11ListContainers(P11Token& token, std::vector<std::string>* names);
// Generates the key pair `spec` of `bits` bits on the token, replacing the
// pair there and its certificate; the private key sensitive, not extractable.
DWORD P11GenerateKey(P11Token& token, const std::string& container, DWORD spec, DWORD bits);
// Creates the key pair from big-endian RSA numbers (n, e, d, p, q, dp, dq,
// qinv) as sensitive, not extractable objects, replacing the pair there.
DWORD P11CreateKey(P11Token& token, const std::string& container, DWORD spec,
                   const std::vector<SecretBytes>& numbers);
// The public key of `spec` read from the token's public object.
DWORD P11PublicKey(P11Token& token, const std::string& container, DWORD spec, EvpPkey* key);
// Writes (or replaces) the certificate object of key `spec`.
DWORD P11PutCertificate(P11Token& token, const std::string& container, DWORD spec,
                        const BYTE* der, size_t size);
DWORD P11GetCertificate(P11Token& token, const std::string& container, DWORD spec,
                        std::vector<BYTE>* der);
// Destroys every object of the container; NTE_BAD_KEYSET when there are none.
DWORD P11DeleteContainer(P11Token& token, const std::string& container);
// Destroys the listed objects, the first failure's status kept.
DWORD P11Destroy(P11Token& token, const std::vector<CK_OBJECT_HANDLE>& objects);

// Opens the encrypted envelope (SEQUENCE { INTEGER 1, OID rsaEncryption,
// OID 3DES-ECB, OCTET STRING wrapped session key, OCTET STRING wrapped
// RSAPrivateKey }) with the exchange private key `unwrapper`: the session
// key is unwrapped inside the token and decrypts the private key there; the
// plaintext RSAPrivateKey is read into *numbers (n, e, d, p, q, dp, dq, qinv)
// and wiped.
DWORD P11OpenEnvelope(P11Token& token, CK_OBJECT_HANDLE unwrapper, const BYTE* data, size_t size,
                      std::vector<SecretBytes>* numbers);
