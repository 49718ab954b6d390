// A wrapping platform table for tests: it forwards every entry to the table
// that was active when it was installed, records each call with its
// arguments, and makes chosen calls fail.
//
//   FaultPlatform fault;                       // installed until destroyed
//   fault.FailCall("CryptGenKey", 1, NTE_FAIL); // the first CryptGenKey fails
//   ... run the operation ...
//   EXPECT_EQ(1u, fault.CountOf("CryptAcquireContextW"));
//   EXPECT_EQ("16", fault.CallsOf("CryptAcquireContextW")[0].args[4]);
//
// A failed call does not reach the wrapped table. It answers the failure
// result of its Win32 call: FALSE, 0 or null for most entries (with the
// chosen last error set through the wrapped table's SetLastError), the code
// itself for the registry entries, the code as an HRESULT for the COM-style
// entries (HRESULT_FROM_WIN32 of a positive code), INVALID_HANDLE_VALUE for
// CreateFileW.
//
// Arguments are recorded as text: numbers in decimal (HCRYPTPROV and the
// other integer handles too), HKEY, HANDLE and other
// pointers as hexadecimal (or "null"), UTF-16 and ANSI texts as their UTF-8
// contents, resource-style small integers passed as text pointers as "#n".
// One FaultPlatform may be installed at a time.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "base/Platform.h"

class FaultPlatform {
 public:
  struct Call {
    std::string name;
    std::vector<std::string> args;
  };

  FaultPlatform();
  ~FaultPlatform();
  FaultPlatform(const FaultPlatform&) = delete;
  FaultPlatform& operator=(const FaultPlatform&) = delete;

  // Makes the `occurrence`-th call (counting from 1, from now) of entry
  // `name` fail with `error`; occurrence 0 fails every call.
  void FailCall(const std::string& name, int occurrence, DWORD error);
  // Removes every planned failure and forgets the recorded calls.
  void Reset();

  std::vector<Call> calls() const;
  std::vector<Call> CallsOf(const std::string& name) const;
  size_t CountOf(const std::string& name) const;
  // The table the fault table wraps.
  const Platform& inner() const { return *inner_; }

  // Used by the wrapper entries: records the call and answers whether it
  // must fail, and with which error.
  bool Enter(const char* name, std::vector<std::string> args, DWORD* error);

 private:
  struct Plan {
    int occurrence;
    DWORD error;
    int seen = 0;
  };
  const Platform* inner_;
  const Platform* previous_;
  Platform table_;
  mutable std::mutex lock_;
  std::vector<Call> calls_;
  std::map<std::string, std::vector<Plan>> plans_;
};
