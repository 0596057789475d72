// The dedicated SM2 curve arithmetic against OpenSSL's generic EC_POINT
// arithmetic on arbitrary inputs; any difference aborts. The first byte
// chooses the operation, the rest fills its 32-byte fields (zero-padded):
//   0: is X || Y on the curve;
//   1: k*G;
//   2: u1*G + u2*P, P given as X || Y or (when not on the curve) as c*G;
//   3: sign e with d and k on both paths, then verify the signature and a
//      copy with the bits of a mask flipped in r, s or e on both paths.
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "crypto/openssl_ptr.h"
#include "crypto/sm2_p256.h"
#include "crypto/sm2_reference.h"

namespace {

namespace p256 = kx::sm2p256;
using kx::UniquePtr;

struct Fields {
  unsigned char op = 0;
  unsigned char f[6][32] = {};
  Fields(const uint8_t* data, size_t size) {
    if (size == 0) return;
    op = data[0] % 4;
    const size_t n = size - 1 < sizeof f ? size - 1 : sizeof f;
    std::memcpy(f, data + 1, n);
  }
};

void Check(bool same) {
  if (!same) std::abort();
}

const EC_GROUP* Group() {
  static UniquePtr<EC_GROUP> group(EC_GROUP_new_by_curve_name(NID_sm2));
  return group.get();
}

UniquePtr<BIGNUM> Bn(const unsigned char bytes[32]) {
  return UniquePtr<BIGNUM>(BN_bin2bn(bytes, 32, nullptr));
}

// X || Y, or false for the point at infinity.
bool Encode(const EC_POINT* point, unsigned char xy[64]) {
  unsigned char out[65];
  if (EC_POINT_point2oct(Group(), point, POINT_CONVERSION_UNCOMPRESSED, out,
                         sizeof out, nullptr) != sizeof out)
    return false;
  std::memcpy(xy, out + 1, 64);
  return true;
}

UniquePtr<EC_POINT> Decode(const unsigned char xy[64]) {
  unsigned char in[65] = {0x04};
  std::memcpy(in + 1, xy, 64);
  UniquePtr<EC_POINT> point(EC_POINT_new(Group()));
  if (EC_POINT_oct2point(Group(), point.get(), in, sizeof in, nullptr) != 1)
    return nullptr;
  return point;
}

// u1*G + u2*P on the generic path (P null: u1*G).
bool GenericMul(const unsigned char u1[32], const unsigned char u2[32],
                const EC_POINT* p, unsigned char xy[64]) {
  UniquePtr<BIGNUM> a = Bn(u1), b = Bn(u2);
  UniquePtr<EC_POINT> out(EC_POINT_new(Group()));
  UniquePtr<BN_CTX> ctx(BN_CTX_new());
  Check(EC_POINT_mul(Group(), out.get(), a.get(), p, p ? b.get() : nullptr,
                     ctx.get()) == 1);
  return Encode(out.get(), xy);
}

int GenericVerify(const unsigned char e[32], const unsigned char r[32],
                  const unsigned char s[32], const EC_POINT* pub) {
  UniquePtr<ECDSA_SIG> sig(ECDSA_SIG_new());
  UniquePtr<BIGNUM> rn = Bn(r), sn = Bn(s);
  Check(ECDSA_SIG_set0(sig.get(), rn.get(), sn.get()) == 1);
  rn.release();  // owned by sig now
  sn.release();  // owned by sig now
  return kx::reference::VerifyDigest(Group(), e, sig.get(), pub);
}

// A point from the input: X || Y when it is on the curve, else c*G.
bool PointOf(const unsigned char xy[64], const unsigned char c[32],
             unsigned char out[64]) {
  if (Decode(xy)) {
    std::memcpy(out, xy, 64);
    return true;
  }
  return GenericMul(c, c, nullptr, out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Fields in(data, size);
  unsigned char ours[64], theirs[64];
  switch (in.op) {
    case 0:  // f[0] || f[1] as X || Y
      Check(p256::IsOnCurve(in.f[0]) == (Decode(in.f[0]) != nullptr));
      break;
    case 1: {
      const bool finite = p256::BaseMul(in.f[0], ours);
      Check(finite == GenericMul(in.f[0], in.f[0], nullptr, theirs));
      Check(!finite || std::memcmp(ours, theirs, 64) == 0);
      break;
    }
    case 2: {
      unsigned char pub[64];
      if (!PointOf(in.f[2], in.f[4], pub)) break;
      UniquePtr<EC_POINT> p = Decode(pub);
      const p256::MulResult result =
          p256::DoubleMul(in.f[0], in.f[1], pub, ours);
      const bool finite = GenericMul(in.f[0], in.f[1], p.get(), theirs);
      Check(result ==
            (finite ? p256::MulResult::kPoint : p256::MulResult::kInfinity));
      Check(!finite || std::memcmp(ours, theirs, 64) == 0);
      break;
    }
    case 3: {  // d = f[0], k = f[1], e = f[2], mask = f[3], f[4][0] picks
      unsigned char pub[64], r[32], s[32];
      if (!p256::BaseMul(in.f[0], pub)) break;
      p256::SigningKey key;
      if (p256::PrepareSigningKey(in.f[0], &key) == 0) break;
      if (p256::SignDigest(key, in.f[2], in.f[1], r, s) == 0) break;
      // The reference signs with the same k, d taken mod n.
      UniquePtr<BN_CTX> ctx(BN_CTX_new());
      UniquePtr<BIGNUM> d = Bn(in.f[0]);
      Check(BN_nnmod(d.get(), d.get(), EC_GROUP_get0_order(Group()),
                     ctx.get()) == 1);
      UniquePtr<ECDSA_SIG> sig(ECDSA_SIG_new());
      int draws = 0;  // one k only: a rejection ends the reference's loop
      Check(kx::reference::SignDigest(
                Group(), EC_GROUP_get0_order(Group()), sig.get(), in.f[2],
                d.get(), [&](BIGNUM* k) {
                  return ++draws == 1 && BN_bin2bn(in.f[1], 32, k) != nullptr;
                }) == 1);
      const BIGNUM *rn = nullptr, *sn = nullptr;
      ECDSA_SIG_get0(sig.get(), &rn, &sn);
      unsigned char rRef[32], sRef[32];
      Check(BN_bn2binpad(rn, rRef, 32) == 32 &&
            BN_bn2binpad(sn, sRef, 32) == 32);
      Check(std::memcmp(r, rRef, 32) == 0 && std::memcmp(s, sRef, 32) == 0);
      UniquePtr<EC_POINT> p = Decode(pub);
      unsigned char e[32];
      std::memcpy(e, in.f[2], 32);
      Check(p256::VerifyDigest(e, r, s, pub) == 1 &&
            GenericVerify(e, r, s, p.get()) == 1);
      unsigned char* target = in.f[4][0] % 3 == 0   ? r
                              : in.f[4][0] % 3 == 1 ? s
                                                    : e;
      for (int i = 0; i < 32; ++i) target[i] ^= in.f[3][i];
      Check(p256::VerifyDigest(e, r, s, pub) ==
            GenericVerify(e, r, s, p.get()));
      break;
    }
  }
  return 0;
}
