// The SM2 recommended curve (GB/T 32918.5), built once at load.
#include <openssl/evp.h>

#include "KXSM.h"
#include "openssl_ptr.h"
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

UniquePtr<BIGNUM> FromHex(const char* hex) {
  BIGNUM* bn = nullptr;
  return UniquePtr<BIGNUM>(BN_hex2bn(&bn, hex) == 0 ? nullptr : bn);
}

// Reads a, b, Gx, Gy back from the group into `out` and hashes the part of the
// Z input that every signature with the default identifier shares.
bool PrecomputeZPrefix(const EC_GROUP* group, const EC_POINT* g, BN_CTX* ctx,
                       Sm2Group* out) {
  UniquePtr<BIGNUM> a(BN_new()), b(BN_new()), gx(BN_new()), gy(BN_new());
  if (!a || !b || !gx || !gy ||
      EC_GROUP_get_curve(group, nullptr, a.get(), b.get(), ctx) != 1 ||
      EC_POINT_get_affine_coordinates(group, g, gx.get(), gy.get(), ctx) != 1 ||
      BN_bn2binpad(a.get(), out->curve, 32) != 32 ||
      BN_bn2binpad(b.get(), out->curve + 32, 32) != 32 ||
      BN_bn2binpad(gx.get(), out->curve + 64, 32) != 32 ||
      BN_bn2binpad(gy.get(), out->curve + 96, 32) != 32)
    return false;
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
using kx::UniquePtr;

extern "C" void SM2_GROUP_init() {
  if (g_sm2.group != nullptr) return;
  // Registers every algorithm (a no-op since OpenSSL 1.1, kept for the
  // contract of this call).
  OpenSSL_add_all_algorithms();
  UniquePtr<BN_CTX> ctx(BN_CTX_new());
  UniquePtr<BIGNUM> p = kx::FromHex(kx::kP), a = kx::FromHex(kx::kA),
                    b = kx::FromHex(kx::kB), gx = kx::FromHex(kx::kGx),
                    gy = kx::FromHex(kx::kGy), n = kx::FromHex(kx::kN);
  if (!ctx || !p || !a || !b || !gx || !gy || !n) return;
  UniquePtr<EC_GROUP> group(
      EC_GROUP_new_curve_GFp(p.get(), a.get(), b.get(), ctx.get()));
  if (!group) return;
  UniquePtr<EC_POINT> g(EC_POINT_new(group.get()));
  if (!g ||
      EC_POINT_set_affine_coordinates(group.get(), g.get(), gx.get(), gy.get(),
                                      ctx.get()) != 1 ||
      EC_GROUP_set_generator(group.get(), g.get(), n.get(), BN_value_one()) !=
          1)
    return;
  if (!kx::PrecomputeZPrefix(group.get(), g.get(), ctx.get(), &g_sm2)) return;
  // The process-wide group owns them from here on (SM2_GROUP_clear).
  g_sm2.group = group.release();
  g_sm2.g = g.release();
  g_sm2.n = n.release();
}

extern "C" void SM2_GROUP_clear() {
  EC_POINT_free(g_sm2.g);
  EC_GROUP_free(g_sm2.group);
  BN_free(g_sm2.n);
  g_sm2.group = nullptr;
  g_sm2.g = nullptr;
  g_sm2.n = nullptr;
}
