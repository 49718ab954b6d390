// The one platform interceptor for tests. Installed over the active table
// (the real soft platform), it records every call with its arguments, makes
// chosen calls fail, and lets a test script an entry's result by replacing
// the entry in `table`, the table it forwards to:
//
//   FaultPlatform platform;                          // installed until destroyed
//   platform.FailCall("CryptGenKey", 1, NTE_FAIL);   // the first CryptGenKey fails
//   platform.table.CryptSignHashW = &ShortSignature; // a provider that misbehaves
//   ... run the operation ...
//   EXPECT_EQ(platform.CallsOf("CryptAcquireContextW")[0].Number("flags"), CRYPT_NEWKEYSET);
//
// A failed call reaches neither `table` nor the platform; it answers the
// failure result its entry's kind in base/PlatformEntries.inc names, with
// the chosen error (set as the last error through `table`).
//
// Arguments are recorded as text under their names in the list: integers
// (and integer handles) in decimal, pointers in hexadecimal or "null",
// UTF-16 and ANSI input texts as their UTF-8 contents ("#n" for integer
// resource names), except a text passed with a length, which is recorded
// by address. One FaultPlatform may be installed at a time; it is not
// nestable.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/Platform.h"

class FaultPlatform {
 public:
  struct Call {
    std::string name;
    std::vector<std::string> argNames;
    std::vector<std::string> args;
    // The recorded text of argument `argName`; a test failure and "" when
    // the entry has no such argument.
    std::string Arg(std::string_view argName) const;
    // That argument as an integer (recorded in decimal).
    uint64_t Number(std::string_view argName) const;
  };

  FaultPlatform();
  ~FaultPlatform();
  FaultPlatform(const FaultPlatform&) = delete;
  FaultPlatform& operator=(const FaultPlatform&) = delete;

  // The entries the interceptor forwards to: a copy of the table that was
  // active at installation. Replace an entry to script its result.
  Platform table;

  // Makes the `occurrence`-th call (counting from 1, from now) of entry
  // `name` fail with `error`; occurrence 0 fails every call.
  void FailCall(const std::string& name, int occurrence, DWORD error);
  // Removes every planned failure and forgets the recorded calls.
  void Reset();

  std::vector<Call> calls() const;
  std::vector<Call> CallsOf(std::string_view name) const;
  size_t CountOf(std::string_view name) const { return CallsOf(name).size(); }

  // Used by the generated entries: records the call and answers whether it
  // must fail, and with which error.
  bool Enter(Call call, DWORD* error);

 private:
  struct Plan {
    int occurrence;
    DWORD error;
    int seen = 0;
  };
  Platform interceptor_;
  const Platform* previous_;
  mutable std::mutex lock_;
  std::vector<Call> calls_;
  std::map<std::string, std::vector<Plan>, std::less<>> plans_;
};
