// Helpers shared by the test programs.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

// Bytes of an encoding, a key or a file: the one byte-vector type of the tests.
using Bytes = std::vector<uint8_t>;

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

// Upper-case hexadecimal of bytes.
std::string Hex(const uint8_t* data, size_t size);

// UTF-8 of a UTF-16 text, for messages and comparisons.
std::string Narrow(const char16_t* text);
