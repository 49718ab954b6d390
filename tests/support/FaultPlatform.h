// The one platform interceptor for tests. Installed over the active table
// until destroyed (one at a time), it records every call with its arguments,
// makes chosen calls fail, and forwards the rest to `table`, where a test may
// replace an entry to script its result:
//
//   FaultPlatform platform;
//   platform.FailCall("CryptGenKey", 1, NTE_FAIL);   // the first CryptGenKey fails
//   platform.table.CryptSignHashW = &ShortSignature; // a provider that misbehaves
//   EXPECT_EQ(platform.CallsOf("CryptAcquireContextW")[0].Number("flags"), CRYPT_NEWKEYSET);
//
// A failed call answers the failure result of its entry's kind in
// base/PlatformEntries.inc and sets the chosen error as the last error.
// Arguments are recorded as text: integers in decimal, pointers in hex or
// "null", input texts as UTF-8 ("#n" for integer resource names) unless
// passed with a length, then by address.
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
