// The installed providers and one provider parameter.
#pragma once

#include <string>

#include "base/WinTypes.h"

// The names of all installed providers in the platform's enumeration order,
// joined by "||" (empty when there are none). An index whose size query
// fails is skipped; a failure while fetching a name fails the whole list
// with the last-error status.
HRESULT GetAllCSPName(std::u16string* list);

// One provider parameter (CryptGetProvParam: size query, then fill) in a
// buffer allocated with AllocZeroed that the caller releases with
// FreeBuffer; *length is the size the second call reports. A reported size
// of 0 gives E_FAIL.
HRESULT GetProviderInfo(HCRYPTPROV provider, DWORD parameter, BYTE** buffer, DWORD* length);
