// The module's registry scripts ("REGISTRY" resources): their replacements
// and their syntax, read into a tree before anything is written, so that a
// malformed script is refused whole.
//
//   script  := (ROOT '{' key* '}')*          ROOT: HKCR HKCU HKLM HKU or the long names
//   key     := [NoRemove | ForceRemove | Delete] NAME ['=' value] ['{' entry* '}']
//   entry   := key | 'val' NAME '=' value
//   value   := 's' 'text' | 'd' 'number' | 'b' 'hex octets'
//
// Tokens are separated by white space; a token in single quotes may hold
// anything, a doubled quote standing for one, and is never a keyword.
// Keywords and value letters match without regard to case.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/ComTypes.h"

// How a key takes part in registration and unregistration.
enum class RegKeyMode {
  kPlain,        // written; removed when nothing else is left below it
  kNoRemove,     // written; never removed (its entries are)
  kForceRemove,  // its tree is deleted before it is written; removed whole
  kDelete,       // its tree is deleted at registration; left alone otherwise
};

struct RegScriptValue {
  std::u16string name;  // empty: the key's default value
  DWORD type = REG_SZ;  // REG_SZ, REG_DWORD or REG_BINARY
  std::vector<BYTE> data;  // REG_SZ: UTF-16 with its terminator
};

struct RegScriptKey {
  std::u16string name;
  RegKeyMode mode = RegKeyMode::kPlain;
  bool hasDefault = false;
  RegScriptValue defaultValue;
  std::vector<RegScriptValue> values;  // the `val` entries
  std::vector<RegScriptKey> subKeys;
};

struct RegScriptRoot {
  HKEY root;  // HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE or HKEY_USERS
  std::vector<RegScriptKey> keys;
};

struct RegReplacement {
  std::u16string name;  // without the percent signs
  std::u16string value;
};

// Replaces each %NAME% of `text` by the value of the replacement of that
// name (compared without regard to ASCII case) and "%%" by "%". Returns 0,
// or DISP_E_EXCEPTION for an unknown name or an unclosed '%' (nothing is
// stored in `out` then).
HRESULT ExpandRegScript(std::u16string_view text, const std::vector<RegReplacement>& replacements,
                        std::u16string* out);

// Reads the expanded `text` into `script`. Returns 0, or DISP_E_EXCEPTION
// when the text breaks the syntax above (unknown root, unbalanced braces, a
// missing name or value, an unknown value letter, a number that is not a
// 32-bit decimal or 0x-hexadecimal one, hex octets of odd length or with a
// non-hex digit, an unterminated quote, a name with a backslash, a value
// outside a key); `script` is then left empty.
HRESULT ParseRegScript(std::u16string_view text, std::vector<RegScriptRoot>* script);
