// DER writer: a tag-length-value builder and the composers built on it.
//
// Elements are written into one growing buffer (DerBuilder.h) from byte
// strings that already hold complete encodings; nothing is sorted or
// normalised unless a composer says so. Each operation allocates its
// output (AllocZeroed) and stores it in (*out, *outLen) only on success;
// the caller releases it with FreeBuffer. Results are status codes: 0, E_FAIL (0x80004005),
// E_OUTOFMEMORY, E_POINTER for missing arguments, 0x8007000D for a raw SM2
// signature of the wrong size, or the platform encoder's failure.
#pragma once

#include <cstddef>
#include <span>

#include "base/WinTypes.h"

// A view of bytes: content to wrap, or parts that already hold complete
// encodings.
using ByteView = std::span<const BYTE>;

// The identifier octets the writer produces.
constexpr BYTE kTagInteger = 0x02;
constexpr BYTE kTagBitString = 0x03;
constexpr BYTE kTagOctetString = 0x04;
constexpr BYTE kTagNull = 0x05;
constexpr BYTE kTagObjectIdentifier = 0x06;
constexpr BYTE kTagUtf8String = 0x0C;
constexpr BYTE kTagPrintableString = 0x13;
constexpr BYTE kTagIa5String = 0x16;
constexpr BYTE kTagBmpString = 0x1E;
constexpr BYTE kTagSequence = 0x30;  // constructed SEQUENCE
constexpr BYTE kTagSet = 0x31;       // constructed SET
constexpr BYTE kTagContext0Primitive = 0x80;
constexpr BYTE kTagContext0 = 0xA0;  // constructed [0]

// The encoding type every structure is encoded with.
constexpr DWORD kEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// The DER length octets for `contentLength` (short form up to 127, else
// 0x80|k and k big-endian octets). A length of 0 is refused with E_FAIL:
// the writer never produces empty content.
HRESULT CalculateASNValueLength(DWORD contentLength, BYTE** out, DWORD* count);

// identifier, length octets, content. The identifier must be one of the
// kTag constants above other than BIT STRING and NULL, and the content
// non-empty; otherwise E_FAIL before anything is allocated.
HRESULT ASN1Encode(BYTE identifier, ByteView content, BYTE** out, DWORD* outLen);

// ASN1Encode appended to a builder (DerBuilder.h): the same refusals,
// which fail the builder, then the element. Result: the builder's status.
struct DerBuilder;
HRESULT ASN1EncodeInto(DerBuilder* builder, BYTE identifier, ByteView content);

// ASN1Encode over the concatenation of `parts`, in order.
HRESULT ASN1EncodeParts(BYTE identifier, std::span<const ByteView> parts, BYTE** out,
                        DWORD* outLen);

// The platform's DER encoding of a structure (CryptEncodeObject, size query
// then fill). Failures are the converted last error of the platform call.
HRESULT EncodeObject(LPCSTR structType, const void* structInfo, BYTE** out, DWORD* outLen);

// A string or OCTET STRING element through X509_ANY_STRING: value type 2
// (OCTET STRING, bytes as given), 4 (PrintableString), 7 (IA5String) or 13
// (UTF8String from UTF-16 text; the view counts bytes).
HRESULT ComposeAnyString(DWORD valueType, ByteView value, BYTE** out, DWORD* outLen);

// 03, length octets, 00 (no unused bits), the bytes.
HRESULT ComposeBITString(ByteView data, BYTE** out, DWORD* outLen);

// SEQUENCE { OBJECT IDENTIFIER oid, SET { value } }: the PKCS#9 attribute.
// `value` is one complete encoding, copied verbatim.
HRESULT ComposeStandardAttribute(const char* oid, ByteView value, BYTE** out, DWORD* outLen);

// SEQUENCE { OBJECT IDENTIFIER oid, value } (an AlgorithmIdentifier with
// parameters, or an AttributeTypeAndValue), or SEQUENCE { oid, NULL } when
// `value` has no data (a default ByteView). The value's identifier must be
// one ASN1Encode accepts and its content non-empty.
HRESULT ComposeSpecialAttribute(const char* oid, ByteView value, BYTE** out, DWORD* outLen);

// The OBJECT IDENTIFIER element of `oid` alone.
HRESULT ComposeObjectIdentifier(const char* oid, BYTE** out, DWORD* outLen);

// SEQUENCE { INTEGER r, INTEGER s } from the 64-octet big-endian r || s of
// an SM2 signature; each INTEGER is minimal (DER), so a value with leading
// zero octets is shortened and one with its top bit set gains one 0x00.
// Any other raw length: 0x8007000D.
HRESULT SM2EncodeRawSignature(ByteView raw, BYTE** out, DWORD* outLen);
