// DER vectors shared by the writer's and the decoder's tests, as crypt32's
// conformance tests share theirs: each row is checked in both directions
// (the writer's composer produces exactly these octets, the decoder reads
// them into exactly this tree). The comment above a row is its readable
// rendering.
#pragma once

#include <functional>

#include "encoding/DerEncoder.h"
#include "support/DerTestSupport.h"

using Composer = std::function<HRESULT(BYTE**, DWORD*)>;

struct DerVector {
  const char* der;   // hexadecimal octets
  const char* tree;  // per node "identifier/length octets/content length/content offset/
                     // encoded length", children in brackets
  Composer compose;  // how the writer produces `der`; empty: the writer never does
};

// ASN1Encode of `identifier` over content given in hexadecimal.
inline Composer Encode(BYTE identifier, const char* contentHex) {
  return [=](BYTE** o, DWORD* l) { return ASN1Encode(identifier, FromHex(contentHex), o, l); };
}

inline const char kSm2CurveOidDer[] = "06 08 2A 81 1C CF 55 01 82 2D";  // 1.2.156.10197.1.301
// SEQUENCE { OID id-ecPublicKey, OID SM2 curve }
inline const char kSm2AlgorithmDer[] = "30 13 06 07 2A 86 48 CE 3D 02 01 06 08 2A 81 1C CF 55 01 82 2D";
// SEQUENCE { OID challengePassword, SET { PrintableString "ABC123" } }
inline const char kChallengeAttributeDer[] =
    "30 15 06 09 2A 86 48 86 F7 0D 01 09 07 31 08 13 06 41 42 43 31 32 33";

inline const DerVector kDerVectors[] = {
    {"04 03 01 02 03", "04/1/3/2/5", Encode(kTagOctetString, "01 02 03")},  // OCTET STRING 01 02 03
    {"30 03 02 01 05", "30/1/3/2/5[02/1/1/4/3]", Encode(kTagSequence, "02 01 05")},  // SEQUENCE { INTEGER 5 }
    // OCTET STRING holding valid DER stays a leaf
    {"04 05 30 03 02 01 05", "04/1/5/2/7", Encode(kTagOctetString, "30 03 02 01 05")},
    // [0] { INTEGER 0 }; [0] primitive 00 is a leaf
    {"A0 03 02 01 00", "A0/1/3/2/5[02/1/1/4/3]", Encode(kTagContext0, "02 01 00")},
    {"80 01 00", "80/1/1/2/3", Encode(kTagContext0Primitive, "00")},
    // SET { NULL, [1] primitive AA }
    {"31 05 05 00 81 01 AA", "31/1/5/2/7[05/1/0/4/2 81/1/1/6/3]",
     Encode(kTagSet, "05 00 81 01 AA")},
    // SEQUENCE { OID rsaEncryption, NULL }
    {"30 0D 06 09 2A 86 48 86 F7 0D 01 01 01 05 00", "30/1/13/2/15[06/1/9/4/11 05/1/0/15/2]",
     [](BYTE** o, DWORD* l) { return ComposeSpecialAttribute("1.2.840.113549.1.1.1", {}, o, l); }},
    {kSm2AlgorithmDer, "30/1/19/2/21[06/1/7/4/9 06/1/8/13/10]",
     [](BYTE** o, DWORD* l) {
       return ComposeSpecialAttribute("1.2.840.10045.2.1", FromHex(kSm2CurveOidDer), o, l);
     }},
    {kChallengeAttributeDer, "30/1/21/2/23[06/1/9/4/11 31/1/8/15/10[13/1/6/17/8]]",
     [](BYTE** o, DWORD* l) {
       return ComposeStandardAttribute("1.2.840.113549.1.9.7", FromHex("13 06 41 42 43 31 32 33"),
                                       o, l);
     }},
    // OID 1.2.156.10197.1.301 alone
    {kSm2CurveOidDer, "06/1/8/2/10",
     [](BYTE** o, DWORD* l) { return ComposeObjectIdentifier("1.2.156.10197.1.301", o, l); }},
    // SEQUENCE { INTEGER 0, INTEGER 0 }: the SM2 signature of r = s = 0
    {"30 06 02 01 00 02 01 00", "30/1/6/2/8[02/1/1/4/3 02/1/1/7/3]",
     [](BYTE** o, DWORD* l) { return SM2EncodeRawSignature(Bytes(64, 0), o, l); }},

    // What only the decoder meets. NULL, octets after the outermost element.
    {"05 00 FF", "05/1/0/2/2", {}},
    // Application class 41: a container whatever its constructed bit.
    {"41 03 05 01 00", "41/1/3/2/5[05/1/1/4/3]", {}},
    // SEQUENCE (indefinite) { INTEGER 1 } end-of-contents; empty; nested.
    {"30 80 02 01 01 00 00", "30/1/5/2/7[02/1/1/4/3]", {}},
    {"30 80 00 00", "30/1/2/2/4", {}},
    {"30 80 30 80 05 00 00 00 00 00", "30/1/8/2/10[30/1/4/4/6[05/1/0/6/2]]", {}},
    // OCTET STRING (indefinite): its content runs to and includes the zero pair.
    {"04 80 01 02 00 00", "04/1/4/2/6", {}},
    {"30 82 00 03 02 01 07", "30/3/3/4/7[02/1/1/6/3]", {}},  // Long form with a leading zero octet: length 3.
};
