// The authority's key envelope and certificate texts made binary.
//
// The envelope is a UTF-16 text; positions count characters:
//    0  16  device type          0, 1 or 2
//   16  16  encrypt type         1 or 2
//   32  16  session key type     306 (CALG_3DES); the encrypted format also 0
//   48  16  L1, then L1 characters: the session-key field
//    .  16  L2, then L2 characters: the private-key field
// Numbers are decimal read as wcstol reads them (leading blanks, a sign,
// digits up to the first other character; none reads as 0). Each field is
// Base64 ending with a comma; every comma in it is dropped before
// decoding. It decodes to SEQUENCE { INTEGER, OCTET STRING wrapped key }.
//
// Every buffer handed out is allocated with AllocZeroed and belongs to the
// caller, who releases it with FreeBuffer; on failure nothing is handed out
// and the outputs are left null / 0. Failures are traced as
// "function - step" and returned: 0xA0071403 for a malformed envelope,
// 0xA0071404 to 0xA0071406 for the header fields, 0x8007000E for memory,
// a called operation's code unchanged.
#pragma once

#include <cstddef>
#include <string>

#include "base/WinTypes.h"

// The number at the start of the `count` characters at `text`, read as
// wcstol reads decimal text in the "C" locale, but never past `count`:
// leading blanks (space, tab to carriage return), an optional sign, digits
// up to the first other character; no digits read as 0; a value outside
// the 32-bit range gives the nearest limit. Reads nothing past text[count-1].
LONG ReadEnvelopeNumber(const char16_t* text, size_t count);

// Removes every ',' from `text` in place (null is ignored).
void EraseCommaInWstr(std::u16string* text);

// Base64 text (UTF-16) to bytes: UTF16ToUTF8, then Base64DecodeEx. Text
// that is not Base64 gives Base64DecodeEx's failure. *der/*length receive
// the decoded bytes.
HRESULT DecodeBase64Key(const std::u16string& text, BYTE** der, DWORD* length);

// Reads the length-prefixed field at *cursor of `envelope` into *field
// (commas removed) and advances *cursor past it. Fewer than 16 characters
// left: 0xA0071403 "Check encrypted data size."; a length that is negative
// or beyond the text: 0xA0071403 "GetBase64KeyFromEncryptedData-key's
// length is wrong"; a field not ending in ',': 0xA0071403 "Check endl
// character". A length of 0 gives an empty field.
HRESULT GetBase64KeyFromEncryptedData(const std::u16string& envelope, size_t* cursor,
                                      std::u16string* field);

// The plain format: checks the header (session key type 306 only; the
// algorithm output is CALG_3DES), reads both fields and decodes both from
// Base64 into their DER SEQUENCEs. A text shorter than the 48 header
// characters is refused first with 0xA0071403 "Check encrypted data size.".
HRESULT GetSessionKeyandPrivateKeyASN1Obj(const std::u16string& envelope, ALG_ID* algorithm,
                                          BYTE** sessionDer, DWORD* sessionDerLength,
                                          BYTE** privateDer, DWORD* privateDerLength);

// The encrypted format: as above, but a session key type of 0 is accepted
// (algorithm 0), and then the session-key field is read but not decoded
// (*sessionDer stays null, *sessionDerLength 0).
HRESULT GetSessionKeyandPrivateKeyASN1ObjEx(const std::u16string& envelope, ALG_ID* algorithm,
                                            BYTE** sessionDer, DWORD* sessionDerLength,
                                            BYTE** privateDer, DWORD* privateDerLength);

// The content octets of the second element of the DER SEQUENCE `der`,
// which must have exactly two elements (tags are not checked); else
// 0xA0071403.
HRESULT GetSessionKeyorPrivateKeyFromASN1Obj(const BYTE* der, DWORD length, BYTE** key,
                                             DWORD* keyLength);

// Both steps for the plain format: the algorithm, the wrapped session key
// and the wrapped private key (OCTET STRING contents).
HRESULT ParseEncryptCertPrivateKeyData(const std::u16string& envelope, ALG_ID* algorithm,
                                       BYTE** sessionKey, DWORD* sessionKeyLength,
                                       BYTE** privateKey, DWORD* privateKeyLength);

// Both steps for the encrypted format; the session key only when the
// algorithm is CALG_3DES (else null / 0).
HRESULT ParseEncryptCertPrivateKeyDataEx(const std::u16string& envelope, ALG_ID* algorithm,
                                         BYTE** sessionKey, DWORD* sessionKeyLength,
                                         BYTE** privateKey, DWORD* privateKeyLength);

// The certificate text (commas removed in place) decoded to DER. Text that
// does not decode to one DER SEQUENCE of three elements (a certificate's
// outline) is refused with 0xA0071403, before any key is touched.
HRESULT ParseEncryptCertPublicKeyCert(std::u16string* certificateText, BYTE** certificate,
                                      DWORD* certificateLength);
