// SNMP object identifiers and variable bindings with their memory from the
// global heap: copy, free and compare.
#pragma once
#include <cstdint>

#include "platform/WinTypes.h"

constexpr win::BYTE ASN_INTEGER = 0x02;
constexpr win::BYTE ASN_OCTETSTRING = 0x04;
constexpr win::BYTE ASN_NULL = 0x05;
constexpr win::BYTE ASN_OBJECTIDENTIFIER = 0x06;
constexpr win::BYTE ASN_SEQUENCE = 0x30;
constexpr win::BYTE ASN_IPADDRESS = 0x40;
constexpr win::BYTE ASN_OPAQUE = 0x44;

struct AsnObjectIdentifier {
  win::UINT idLength = 0;
  win::UINT* ids = nullptr;
};

struct AsnOctetString {
  win::BYTE* stream = nullptr;
  win::UINT length = 0;
  win::BOOL dynamic = win::FALSE;  // the bytes belong to the record
};

struct AsnAny {
  win::BYTE asnType = ASN_NULL;
  union {
    std::int32_t number;
    AsnObjectIdentifier object;
    AsnOctetString string;
  } asnValue{};
};

struct SnmpVarBind {
  AsnObjectIdentifier name;
  AsnAny value;
};

// 1, or 0 with last error 1 when memory runs out (destination ids null, count kept).
int OidCopy(AsnObjectIdentifier* destination, const AsnObjectIdentifier* source);
void OidFree(AsnObjectIdentifier* oid);
// -1, 0 or +1 over the first min(n, lengths) sub-identifiers.
std::int32_t OidCompareN(const AsnObjectIdentifier* a, const AsnObjectIdentifier* b, win::UINT n);
void VarBindFree(SnmpVarBind* binding);
