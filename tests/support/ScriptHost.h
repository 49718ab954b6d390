// Drives one control through IDispatch exactly as page script does: names
// resolved with GetIDsOfNames, arguments passed as strings and coerced by
// the control, failures seen as exceptions carrying the status.
#pragma once

#include <string>
#include <vector>

#include "base/ComTypes.h"

struct ScriptResult {
  HRESULT hr = S_OK;   // the method's status (the exception's scode)
  std::string text;    // a string result, UTF-8
  bool flag = false;   // a boolean result
};

class ScriptHost {
 public:
  ScriptHost();  // creates the control in this process
  ~ScriptHost();
  ScriptHost(const ScriptHost&) = delete;
  ScriptHost& operator=(const ScriptHost&) = delete;

  ScriptResult Call(const std::string& method, const std::vector<std::string>& args = {});
  // Picks the key length, provider and algorithm as page script does; true
  // when both methods succeed.
  bool Select(const std::string& bits, const std::string& provider, const std::string& algorithm) {
    return Call("ZENQ_SetCSPInfo", {bits, provider}).hr == S_OK &&
           Call("ZENQ_SetKeyAlgorithm", {algorithm}).hr == S_OK;
  }

 private:
  IDispatch* control_ = nullptr;
};
