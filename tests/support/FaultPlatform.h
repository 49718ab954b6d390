// The one platform interceptor for tests. Installed over the active table
// until destroyed (one at a time), it records every call with its arguments,
// makes chosen calls fail, and forwards the rest to `table`, where a test may
// replace an entry to script its result. A failed call answers the failure
// result of its entry's kind in base/PlatformEntries.inc and sets the chosen
// error as the last error.
// Arguments are recorded as text: integers in decimal, pointers in hex or
// "null", input texts as UTF-8 ("#n" for integer resource names) unless
// passed with a length, then by address.
//
// It also counts the handles each kind of call hands out and takes back
// (providers, keys, hashes, stores, certificate and chain contexts,
// registry keys, files, COM objects and DOM nodes, DOM texts, COM
// initialisations); at its end every kind must balance, unless a test
// clears `checkBalance` because it holds handles across the interceptor's
// life. A release counts when it is made, whether or not it succeeds.
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
    bool nested = false;  // made by the platform inside another call
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

  // Makes the `n`-th call from now (counting from 1) fail with `error`,
  // counting every entry but the last-error pair, the trace entries and
  // the releases (failing those tests nothing the caller can act on);
  // 0 disarms. FailedCall() names the entry failed since, "" for none.
  void FailNthCall(int n, DWORD error);
  std::string FailedCall() const;

  // The kinds whose handles are not all released, "kind +n" each; "" when
  // every kind balances.
  std::string Unbalanced() const;
  bool checkBalance = true;

  std::vector<Call> calls() const;
  std::vector<Call> CallsOf(std::string_view name) const;
  size_t CountOf(std::string_view name) const { return CallsOf(name).size(); }

  // Used by the generated entries: records the call and answers whether it
  // must fail, and with which error.
  bool Enter(Call call, DWORD* error);
  // Used by the generated entries after the call: counts the handles it
  // handed out (when it succeeded) or took back.
  void Account(const Call& call, bool succeeded);
  // Used by the generated entries when they fail a call: frees what the
  // platform frees even when that call fails.
  void FreeWhatAFailedCallFrees(const Call& call);

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
  int failNth_ = 0;
  int sinceArmed_ = 0;
  DWORD failNthError_ = 0;
  std::string failed_;
  std::map<std::string, long, std::less<>> live_;
};
