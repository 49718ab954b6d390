// The subject distinguished name of a request: one line of text such as
// "CN=Test User,OU=Retail,O=Example,C=CN" made into the DER Name.
//
// The text has no escapes and no quoting: a comma always ends an attribute
// and an equals sign always separates name from value. Each attribute
// becomes one relative distinguished name; the encoding lists them in the
// reverse of the text's order (most general first).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/WinTypes.h"

// One attribute of the subject text, in text order.
struct SubjectAttribute {
  std::string objectId;  // dotted decimal; empty when the name is unknown
  std::u16string value;  // exactly as it stood after the equals sign
};

// The DER Name of `subject`, allocated with AllocZeroed (the caller
// releases it with FreeBuffer). Fails with NTE_BAD_DATA for a piece without
// exactly one equals sign, E_FAIL for an empty subject or an empty value,
// the platform encoder's failure for an unknown name or a value outside the
// attribute's character set, E_OUTOFMEMORY when memory runs out.
HRESULT ComposeSubject(std::u16string_view subject, BYTE** out, DWORD* outLen);

// Splits `subject` at commas and each piece at its equals sign, appending
// one SubjectAttribute per piece. The name loses all its spaces and is
// matched ignoring ASCII case; the value is kept as it is. Returns 0, or
// NTE_BAD_DATA (0x80090005) unless every piece has exactly two parts.
HRESULT ParseSubject(std::u16string_view subject, std::vector<SubjectAttribute>* attributes);

// One RelativeDistinguishedName: SET { SEQUENCE { OID, value } } with the
// value a PrintableString for 2.5.4.6, an IA5String for
// 1.2.840.113549.1.9.1 and a UTF8String otherwise.
HRESULT ComposeSubjectChild(const SubjectAttribute& attribute, BYTE** out, DWORD* outLen);

// The object identifier of an attribute name (CN, C, O, OU, E, ...);
// empty when the name is unknown.
std::string GetObjectID(std::u16string_view name);

// Appends the pieces of `text` between separators (empty pieces included;
// "a," gives "a" and ""); an empty text appends nothing. Always 0.
HRESULT SplidWstr(std::u16string_view text, char16_t separator,
                  std::vector<std::u16string>* pieces);

// `text` without any U+0020 (other white space stays).
std::u16string ReplaceWchar(std::u16string_view text);
