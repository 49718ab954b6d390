// Reading a PKCS#10 certification request back: what a help desk needs to
// see of a customer's request (subject, key, signature algorithm, the
// double-certificate attributes in either form) and whether its signature
// holds, checked through the platform table.
#pragma once

#include <string>
#include <vector>

#include "base/WinTypes.h"

// One attribute of the request's [0] field.
struct RequestAttribute {
  std::string oid;          // dotted text
  bool special = false;     // SEQUENCE { OID, value } rather than the SET of PKCS#9
  bool text = false;        // the value is a character string (the challenge)
  std::vector<BYTE> value;  // string: its octets; temporary key: the key octets
                            // inside OCTET STRING { SEQUENCE { 1, OCTET STRING } };
                            // anything else: the value's whole encoding
};

struct RequestSummary {
  std::u16string subject;          // as CertNameToStrW renders it (X.500, reversed)
  std::string keyAlgorithm;        // "RSA", "SM2", "EC" or the dotted identifier
  DWORD keyBits = 0;               // 0 when not known
  std::string signatureAlgorithm;  // e.g. "sha1WithRSAEncryption", else dotted
  std::vector<RequestAttribute> attributes;
  bool signatureValid = false;
  HRESULT signatureStatus = S_OK;  // the platform's status when not valid
};

// The parts of a request an authority needs, as the request's own octets
// (nothing is re-encoded).
struct RequestParts {
  std::vector<BYTE> info;           // the whole certificationRequestInfo encoding
  std::vector<BYTE> subject;        // its subject Name encoding
  std::vector<BYTE> publicKeyInfo;  // its subjectPublicKeyInfo encoding
  std::string signatureAlgorithm;   // dotted identifier
  std::vector<BYTE> signature;      // the BIT STRING's octets after its unused-bits octet
  std::vector<RequestAttribute> attributes;
};

// Splits the request in `der` with the system's DER decoder, without any
// platform call. Returns S_OK with *parts filled, or CRYPT_E_ASN1_* when
// the request cannot be read (*parts then undefined).
HRESULT SplitCertRequest(const std::vector<BYTE>& der, RequestParts* parts);

// The DER octets of a request given as DER or as Base64 text (any line
// breaks and white space). Returns S_OK, or CRYPT_E_ASN1_BADTAG when the
// input is neither (characters outside the Base64 alphabet, nothing left).
HRESULT RequestOctets(const std::vector<BYTE>& input, std::vector<BYTE>* der);

// Decodes the request in `der` with the system's DER decoder and checks its
// signature with the request's own public key (CryptVerifyCertificateSignatureEx).
// Returns S_OK with *summary filled, whatever the signature's verdict; a
// failure status (CRYPT_E_ASN1_*, or the name renderer's) when the request
// cannot be read, *summary then undefined.
HRESULT ReadCertRequest(const std::vector<BYTE>& der, RequestSummary* summary);
