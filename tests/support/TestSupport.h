// Helpers shared by the test programs.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Bytes of an encoding, a key or a file: the one byte-vector type of the tests.
using Bytes = std::vector<uint8_t>;

// The providers of the soft platform, by name.
inline constexpr char16_t kBase[] = u"Microsoft Base Cryptographic Provider v1.0";
inline constexpr char16_t kEnhanced[] = u"Microsoft Enhanced Cryptographic Provider v1.0";
inline constexpr char16_t kStrong[] = u"Microsoft Strong Cryptographic Provider";
inline constexpr char16_t kAes[] = u"Microsoft Enhanced RSA and AES Cryptographic Provider";
inline constexpr char16_t kRsaToken[] = u"Keyloom RSA Token Provider";
inline constexpr char16_t kSm2Token[] = u"Keyloom SM2 Token Provider";

// Sets an environment variable for the scope, restoring it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);  // null value unsets
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_, saved_;
  bool had_ = false;
};

// A fresh home for the test, the platform's meaning of a new user (each
// platform's part in support/posix or support/win32). On the soft platform:
// KEYLOOM_HOME, KEYLOOM_MACHINE_HOME and TMPDIR (where diagnostic dumps go)
// point at new temporary folders until destruction, which removes them and
// restores the previous values. On Windows, where the fresh prefix of the
// run is the new user: TMP and TEMP point at a new folder, and the registry
// keys a test makes below the keys the tests write (Software, Classes, the
// certificate stores) are deleted again at destruction. root() is the new
// folder, temp() the temporary folder below it (without a final separator).
class ScopedSoftHomes {
 public:
  ScopedSoftHomes();
  ~ScopedSoftHomes();
  ScopedSoftHomes(const ScopedSoftHomes&) = delete;
  ScopedSoftHomes& operator=(const ScopedSoftHomes&) = delete;
  const std::string& user() const { return user_; }
  const std::string& machine() const { return machine_; }
  const std::string& root() const { return root_; }
  const std::string& temp() const { return temp_; }

 private:
  struct Saved;  // what the platform's part restores
  std::string root_, user_, machine_, temp_;
  std::unique_ptr<Saved> saved_;
};

// The separator of the platform's paths, as GetTempPathW ends its answer.
#ifdef _WIN32
inline constexpr char kPathSeparator[] = "\\";
#else
inline constexpr char kPathSeparator[] = "/";
#endif

// A test fixture whose soft-platform homes are fresh for each test.
struct SoftHomesTest : ::testing::Test {
  ScopedSoftHomes homes_;
};

// True when the program runs under Wine (support/win32; false on the soft
// platform).
bool UnderWine();

// True under Wine, where `difference` says how Wine answers otherwise than
// the platform it stands for; then also prints "[ WINE DIFF ] difference"
// for the runner's list. A test checks what Wine shows instead and keeps
// every assertion on our own code.
bool WineDiffers(const char* difference);

// Runs a shell command; returns its exit status and fills `output` with
// what it wrote to standard output (and standard error when `mergeStderr`).
int RunCommand(const std::string& command, std::string* output, bool mergeStderr = false);

// Reads a whole file; empty when it cannot.
std::string ReadFile(const std::string& path);

// How many times `needle` occurs in `text`, overlapping ones included.
inline int Count(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// Upper-case hexadecimal of bytes, the pairs joined by `separator`.
std::string ToHex(const uint8_t* data, size_t size, const char* separator = " ");
inline std::string ToHex(const Bytes& b) { return ToHex(b.data(), b.size()); }

// UTF-8 of a UTF-16 text, for messages and comparisons.
std::string Narrow(const char16_t* text);
