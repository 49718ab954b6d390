// The bank's sites in the browser's trusted-sites zone (zone 2): a list of
// URL patterns carried as string 106, "|"-separated, mapped into the zone
// for the current user at registration.
#pragma once

#include <string>
#include <vector>

#include "base/ComTypes.h"

constexpr UINT kTrustedSiteList = 106;

// Loads string `id` of `module` (at most 1023 characters) and appends its
// patterns to `patterns` (SplitStrings on "|"). Returns 0, or, when the
// string cannot be loaded, the last error as 0x8007xxxx (an empty string
// adds nothing).
HRESULT LoadTrustSites(HINSTANCE module, UINT id, std::vector<std::u16string>* patterns);

// Loads string `id` of `module` with LoadTrustSites and maps each of its
// patterns in order with AddTrustSite. Returns 0; the first pattern's
// failure, at which the rest are left alone; or, when the string cannot be
// loaded, the last error as 0x8007xxxx (an empty string maps nothing).
HRESULT AddTrustSites(HINSTANCE module, UINT id);

// Appends the tokens of `text` between occurrences of `separator` to
// `list`. The first empty token ends the splitting: a null or empty text, a
// text that starts with the separator, and everything from two adjacent
// separators on add nothing.
void SplitStrings(const char16_t* text, const char16_t* separator,
                  std::vector<std::u16string>* list);

// Maps `pattern` into the trusted-sites zone. When the zone requires
// verification (and would refuse a plain web pattern), the flag is cleared
// for the mapping and set again afterwards, also when the mapping failed,
// so the zone is never left weaker than it was. A mapping that exists
// already (0x80070050) counts as success. Returns 0 or the first failing
// call's status.
HRESULT AddTrustSite(const char16_t* pattern);
