// Diagnostic copies of decoded blobs in the user's temporary folder: each
// call writes a new file "<GUID>.ZENQ", readable by the user alone.
#pragma once

#include <string>

#include "base/WinTypes.h"

// Writes `length` bytes to a new file in the temporary folder. On success
// *path receives the file's full name; on any failure (only traced) *path
// is left unchanged. Never fails its caller.
void DumpDatatoTempFile(const BYTE* data, DWORD length, std::u16string* path);

// The user's temporary folder, with its trailing separator.
HRESULT GetTempDirPath(std::u16string* path);

// Creates `fileName` exclusively (a file left at that name is removed
// first; the new file is never opened through a link) and writes the
// bytes in one call.
HRESULT WriteDataToFile(const std::u16string& fileName, const BYTE* data, DWORD length);
