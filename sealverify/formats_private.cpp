// libsealverify's private seal and signature structures (see
// formats_private.h): the shared templates compiled inside namespace kxsv.
#include "formats_private.h"

#include <openssl/asn1t.h>

#include <cstddef>

namespace kxsv {
#define SEAL_GIN_ESEAL_AS_OCTETS 1
#include "formats/seal_templates.inc"
#undef SEAL_GIN_ESEAL_AS_OCTETS
}  // namespace kxsv
