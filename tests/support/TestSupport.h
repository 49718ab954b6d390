// Helpers shared by the test programs.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
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

// A fresh soft-platform home for the test: KEYLOOM_HOME,
// KEYLOOM_MACHINE_HOME and TMPDIR (where diagnostic dumps go) point at new
// temporary folders until destruction, which removes them and restores the
// previous values.
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
  std::string root_, user_, machine_, temp_;
  ScopedEnv tempEnv_, userEnv_, machineEnv_;
};

// A test fixture whose soft-platform homes are fresh for each test.
struct SoftHomesTest : ::testing::Test {
  ScopedSoftHomes homes_;
};

// Runs a shell command; returns its exit status and fills `output` with
// what it wrote to standard output (and standard error when `mergeStderr`).
int RunCommand(const std::string& command, std::string* output, bool mergeStderr = false);

// Reads a whole file; empty when it cannot.
std::string ReadFile(const std::string& path);

// Upper-case hexadecimal of bytes, the pairs joined by `separator`.
std::string ToHex(const uint8_t* data, size_t size, const char* separator = " ");
inline std::string ToHex(const Bytes& b) { return ToHex(b.data(), b.size()); }

// UTF-8 of a UTF-16 text, for messages and comparisons.
std::string Narrow(const char16_t* text);
