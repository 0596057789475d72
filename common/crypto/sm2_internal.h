// The process-wide SM2 group; written only at load and unload.
#pragma once

#include <openssl/bn.h>
#include <openssl/ec.h>

#include "KXSM.h"

namespace kx {

// The default user identifier of SM2 signatures.
constexpr unsigned char kSm2DefaultId[] = "1234567812345678";
constexpr unsigned kSm2DefaultIdLength = 16;

struct Sm2Group {
  EC_GROUP* group = nullptr;
  EC_POINT* g = nullptr;  // generator
  BIGNUM* n = nullptr;    // order
  // a || b || Gx || Gy, 32 bytes each: the curve's part of every Z input.
  unsigned char curve[128] = {};
  // SM3 state after ENTL || default identifier || curve, so that the Z of a
  // signature only hashes the public key's coordinates on top of it.
  SM3_CTX_1 defaultZPrefix = {};
};

extern Sm2Group g_sm2;

}  // namespace kx
