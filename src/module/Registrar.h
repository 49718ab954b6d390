// Runs a parsed registry script against the registry, through the
// platform's Reg* entries.
#pragma once

#include <vector>

#include "module/RegScript.h"

// Registers (`install`) or unregisters the keys of `script`. In per-user
// mode the HKEY_CLASSES_ROOT part goes to HKEY_CURRENT_USER\Software\Classes.
//
// Registration writes each key with its default value and `val` values;
// a ForceRemove key's tree is deleted first, a Delete key's tree is deleted
// and not written. Unregistration deletes a ForceRemove key's tree, removes
// the `val` values and entries of the others, then a plain key itself when
// no subkey is left below it; NoRemove and Delete keys stay. Keys that are
// missing at unregistration are skipped. Returns 0 or the first failing
// registry call's code as an HRESULT; what was written before it stays.
HRESULT RunRegScript(const std::vector<RegScriptRoot>& script, bool install, bool perUser);

// Expands the replacements in `text` (UTF-16), reads it and runs it.
// Returns the first failure of the three; a text that does not expand or
// parse writes nothing.
HRESULT RunRegScriptText(std::u16string_view text, const std::vector<RegReplacement>& replacements,
                         bool install, bool perUser);
