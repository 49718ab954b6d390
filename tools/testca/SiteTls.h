// The demo site's TLS server credentials: a certificate issued at start by
// the hierarchy's RSA (SHA-256) intermediate, so that a browser that trusts
// the test root, or pins the key, takes the site as a bank's https page.
#pragma once

#include <openssl/ssl.h>

#include <string>
#include <vector>

namespace testca {

// Makes a new RSA-2048 key and a server certificate for it, valid from a day
// ago for a year, subject "CN=Keyloom Bank demo site, O=Keyloom Bank, C=CN",
// naming each address of `binds` (loopback IPv4 or IPv6 texts) and
// "localhost"; issued by DIR's rsa-ca, which is sent with it. Loads both
// into `ctx` (TLS 1.2 at least) and sets `*spki` to the Base64 of the
// SHA-256 of the key's SubjectPublicKeyInfo (what a browser pins). The key
// lives in `ctx` alone. False with `*error` set when DIR's hierarchy cannot
// be read or OpenSSL fails.
bool LoadSiteTls(SSL_CTX* ctx, const std::string& dir, const std::vector<std::string>& binds,
                 std::string* spki, std::string* error);

}  // namespace testca
