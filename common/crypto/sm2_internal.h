// The process-wide SM2 group; written only at load and unload.
#pragma once

#include <openssl/bn.h>
#include <openssl/ec.h>

namespace kx {

struct Sm2Group {
  EC_GROUP* group = nullptr;
  EC_POINT* g = nullptr;  // generator
  BIGNUM* n = nullptr;    // order
};

extern Sm2Group g_sm2;

}  // namespace kx
