// Helpers for tests of encodings: hexadecimal text, owned outputs, and
// OpenSSL's command line as an independent DER parser.
#pragma once

#include <string>
#include <vector>

#include "base/Platform.h"
#include "encoding/Buffer.h"
#include "support/TestSupport.h"

// "30 03 02 01 05" (spaces optional) to bytes.
Bytes FromHex(const std::string& hex);

// Runs an operation that produces bytes into (out, outLen) and returns its
// status with a copy of the bytes (empty when none were handed out); the
// operation's buffer is released with FreeBuffer.
struct Produced {
  HRESULT status;
  Bytes bytes;
};
template <typename F>
Produced Produce(F&& operation) {
  BYTE* out = nullptr;
  DWORD length = 0;
  const HRESULT status = operation(&out, &length);
  Produced produced{status, out ? Bytes(out, out + length) : Bytes()};
  FreeBuffer(out);
  return produced;
}

// Writes `der` to a temporary file and runs `openssl asn1parse -inform DER`
// on it; returns the exit status and fills `output` with what it printed.
int OpenSslAsn1Parse(const Bytes& der, std::string* output);
