// libsealcore's seal and signature structures: the exported descriptors and
// codec functions, with the GIN_TBS_Sign layout that embeds the GIN_SESeal.
#include <openssl/asn1t.h>
#include <openssl/x509.h>

#include <cstddef>

#include "SealFormats.h"

#define SEAL_GIN_ESEAL_AS_OCTETS 0
#include "formats/seal_templates.inc"
#undef SEAL_GIN_ESEAL_AS_OCTETS
