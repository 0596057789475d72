// The SM2 recommended curve (GB/T 32918.5), built once at load.
#include <openssl/evp.h>

#include "KXSM.h"
#include "sm2_internal.h"

namespace kx {

Sm2Group g_sm2;

namespace {
const char kP[] =
    "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFF";
const char kA[] =
    "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFC";
const char kB[] =
    "28E9FA9E9D9F5E344D5A9E4BCF6509A7F39789F515AB8F92DDBCBD414D940E93";
const char kN[] =
    "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54123";
const char kGx[] =
    "32C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7";
const char kGy[] =
    "BC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0";

BIGNUM* FromHex(const char* hex) {
  BIGNUM* bn = nullptr;
  return BN_hex2bn(&bn, hex) == 0 ? nullptr : bn;
}

// Reads a, b, Gx, Gy back from the group into `out` and hashes the part of the
// Z input that every signature with the default identifier shares.
bool PrecomputeZPrefix(const EC_GROUP* group, const EC_POINT* g, BN_CTX* ctx,
                       Sm2Group* out) {
  BIGNUM* a = BN_new();
  BIGNUM* b = BN_new();
  BIGNUM* gx = BN_new();
  BIGNUM* gy = BN_new();
  bool ok = a && b && gx && gy &&
            EC_GROUP_get_curve(group, nullptr, a, b, ctx) == 1 &&
            EC_POINT_get_affine_coordinates(group, g, gx, gy, ctx) == 1 &&
            BN_bn2binpad(a, out->curve, 32) == 32 &&
            BN_bn2binpad(b, out->curve + 32, 32) == 32 &&
            BN_bn2binpad(gx, out->curve + 64, 32) == 32 &&
            BN_bn2binpad(gy, out->curve + 96, 32) == 32;
  BN_free(a);
  BN_free(b);
  BN_free(gx);
  BN_free(gy);
  if (!ok) return false;
  const unsigned char entl[2] = {0, kSm2DefaultIdLength * 8};
  SM3_Init_1(&out->defaultZPrefix);
  SM3_Update_1(&out->defaultZPrefix, entl, 2);
  SM3_Update_1(&out->defaultZPrefix, kSm2DefaultId, kSm2DefaultIdLength);
  SM3_Update_1(&out->defaultZPrefix, out->curve, sizeof out->curve);
  return true;
}
}  // namespace

}  // namespace kx

using kx::g_sm2;

extern "C" void SM2_GROUP_init() {
  if (g_sm2.group != nullptr) return;
  // Registers every algorithm (a no-op since OpenSSL 1.1, kept for the
  // contract of this call).
  OpenSSL_add_all_algorithms();
  BN_CTX* ctx = BN_CTX_new();
  BIGNUM* p = kx::FromHex(kx::kP);
  BIGNUM* a = kx::FromHex(kx::kA);
  BIGNUM* b = kx::FromHex(kx::kB);
  BIGNUM* gx = kx::FromHex(kx::kGx);
  BIGNUM* gy = kx::FromHex(kx::kGy);
  BIGNUM* n = kx::FromHex(kx::kN);
  EC_GROUP* group = nullptr;
  EC_POINT* g = nullptr;
  bool ok = ctx && p && a && b && gx && gy && n;
  if (ok) ok = (group = EC_GROUP_new_curve_GFp(p, a, b, ctx)) != nullptr;
  if (ok) ok = (g = EC_POINT_new(group)) != nullptr;
  if (ok) ok = EC_POINT_set_affine_coordinates(group, g, gx, gy, ctx) == 1;
  if (ok) ok = EC_GROUP_set_generator(group, g, n, BN_value_one()) == 1;
  // Multiples of G, computed once, speed up every k*G and s*G.
  if (ok) EC_GROUP_precompute_mult(group, ctx);
  if (ok) ok = kx::PrecomputeZPrefix(group, g, ctx, &g_sm2);
  if (ok) {
    g_sm2.group = group;
    g_sm2.g = g;
    g_sm2.n = n;
    g_sm2.p = p;
    n = nullptr;
    p = nullptr;
  } else {
    EC_POINT_free(g);
    EC_GROUP_free(group);
  }
  BN_free(p);
  BN_free(a);
  BN_free(b);
  BN_free(gx);
  BN_free(gy);
  BN_free(n);
  BN_CTX_free(ctx);
}

extern "C" void SM2_GROUP_clear() {
  EC_POINT_free(g_sm2.g);
  EC_GROUP_free(g_sm2.group);
  BN_free(g_sm2.n);
  BN_free(g_sm2.p);
  g_sm2.p = nullptr;
  g_sm2.group = nullptr;
  g_sm2.g = nullptr;
  g_sm2.n = nullptr;
}
