// `testca codesign-cert`: a throwaway Authenticode signer for builds and CI.
#pragma once

#include <string>

namespace testca {

// Creates `dir` (0700) when missing and writes a code-signing hierarchy
// into it, RSA 2048 with SHA-256, valid from a day ago for two years:
//   codesign-root.crt  a self-signed root (CA), the trust anchor a
//                      verifier is given (osslsigncode verify -CAfile);
//   codesign.crt       the signing certificate below it (extended key
//                      usage codeSigning, not a CA), followed by the root,
//                      as osslsigncode sign -certs takes a chain;
//   codesign.key       its private key (PEM, exactly 0600).
// The root's key is not kept: nothing more is ever issued under it.
// Refuses to replace an existing file or to follow a symbolic link.
bool MakeCodeSigningCertificate(const std::string& dir, std::string* error);

}  // namespace testca
