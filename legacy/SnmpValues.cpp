#include "legacy/SnmpValues.h"

#include <algorithm>
#include <cstring>

#include "platform/Memory.h"

int OidCopy(AsnObjectIdentifier* destination, const AsnObjectIdentifier* source) {
  destination->ids =
      static_cast<win::UINT*>(win::GlobalAlloc(win::GPTR, std::size_t{source->idLength} * sizeof(win::UINT)));
  if (destination->ids == nullptr) {
    win::SetLastError(win::ERROR_INVALID_FUNCTION);
    return 0;
  }
  if (source->idLength != 0) std::memcpy(destination->ids, source->ids, source->idLength * sizeof(win::UINT));
  destination->idLength = source->idLength;
  return 1;
}

void OidFree(AsnObjectIdentifier* oid) {
  win::GlobalFree(oid->ids);
  oid->ids = nullptr;
  oid->idLength = 0;
}

std::int32_t OidCompareN(const AsnObjectIdentifier* a, const AsnObjectIdentifier* b, win::UINT n) {
  const win::UINT m = std::min({n, a->idLength, b->idLength});
  for (win::UINT i = 0; i < m; ++i) {
    // Unsigned order: a 32-bit difference read as signed would flip for far-apart values.
    if (a->ids[i] != b->ids[i]) return a->ids[i] < b->ids[i] ? -1 : 1;
  }
  return 0;
}

void VarBindFree(SnmpVarBind* binding) {
  OidFree(&binding->name);
  switch (binding->value.asnType) {
    case ASN_OBJECTIDENTIFIER:
      OidFree(&binding->value.asnValue.object);
      break;
    case ASN_OCTETSTRING:
    case ASN_IPADDRESS:
    case ASN_OPAQUE:
    case ASN_SEQUENCE:
      if (binding->value.asnValue.string.dynamic) {
        win::GlobalFree(binding->value.asnValue.string.stream);
        binding->value.asnValue.string.stream = nullptr;
      }
      break;
    default:
      break;
  }
  binding->value.asnType = ASN_NULL;
}
