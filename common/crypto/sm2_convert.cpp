// SM2 public keys and signatures to and from bytes.
#include <openssl/ecdsa.h>

#include "KXSM.h"
#include "openssl_ptr.h"
#include "sm2_internal.h"

using kx::g_sm2;
using kx::UniquePtr;

// Only the uncompressed form 04 || X || Y (65 bytes) is taken; setting the
// coordinates checks that the point lies on the curve.
shared_ptr<EC_POINT> KXStrToECPoint(const void* bytes, int length) {
  const unsigned char* p = static_cast<const unsigned char*>(bytes);
  if (p == nullptr || length != 65 || p[0] != 0x04 || g_sm2.group == nullptr)
    return shared_ptr<EC_POINT>();
  UniquePtr<BN_CTX> ctx(BN_CTX_new());
  UniquePtr<BIGNUM> x(BN_bin2bn(p + 1, 32, nullptr));
  UniquePtr<BIGNUM> y(BN_bin2bn(p + 33, 32, nullptr));
  UniquePtr<EC_POINT> point(EC_POINT_new(g_sm2.group));
  if (!ctx || !x || !y || !point ||
      EC_POINT_set_affine_coordinates(g_sm2.group, point.get(), x.get(),
                                      y.get(), ctx.get()) != 1)
    return shared_ptr<EC_POINT>();
  return shared_ptr<EC_POINT>(point.release());  // the holder owns it now
}

// 64 bytes are r || s; any other length is DER SEQUENCE { r, s }, which must
// fill the bytes exactly: a signature value with anything after the SEQUENCE
// is not the value that was signed.
shared_ptr<ECDSA_SIG> KXStrToECSig(const void* bytes, int length) {
  const unsigned char* p = static_cast<const unsigned char*>(bytes);
  if (p == nullptr || length <= 0) return shared_ptr<ECDSA_SIG>();
  if (length == 64) {
    UniquePtr<ECDSA_SIG> sig(ECDSA_SIG_new());
    UniquePtr<BIGNUM> r(BN_bin2bn(p, 32, nullptr));
    UniquePtr<BIGNUM> s(BN_bin2bn(p + 32, 32, nullptr));
    if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1)
      return shared_ptr<ECDSA_SIG>();
    r.release();  // owned by sig now
    s.release();  // owned by sig now
    return shared_ptr<ECDSA_SIG>(sig.release());
  }
  const unsigned char* const end = p + length;
  UniquePtr<ECDSA_SIG> sig(d2i_ECDSA_SIG(nullptr, &p, length));
  if (!sig || p != end) return shared_ptr<ECDSA_SIG>();
  return shared_ptr<ECDSA_SIG>(sig.release());  // the holder owns it now
}

ckxstr KXECPointToStr(const EC_POINT* point) {
  if (point == nullptr || g_sm2.group == nullptr) return ckxstr();
  UniquePtr<BN_CTX> ctx(BN_CTX_new());
  UniquePtr<BIGNUM> x(BN_new());
  UniquePtr<BIGNUM> y(BN_new());
  unsigned char out[65];
  out[0] = 0x04;
  if (!ctx || !x || !y ||
      EC_POINT_get_affine_coordinates(g_sm2.group, point, x.get(), y.get(),
                                      ctx.get()) != 1 ||
      BN_bn2binpad(x.get(), out + 1, 32) != 32 ||
      BN_bn2binpad(y.get(), out + 33, 32) != 32)
    return ckxstr();
  ckxstr result;
  if (!result.assign(out, sizeof out)) return ckxstr();
  return result;
}

ckxstr KXECSigToStr(const ECDSA_SIG* sig) {
  if (sig == nullptr) return ckxstr();
  unsigned char* der = nullptr;
  const int length = i2d_ECDSA_SIG(sig, &der);
  kx::OpenSslBytes holder(der);
  ckxstr result;
  if (length <= 0 || !result.assign(der, static_cast<uint32_t>(length)))
    return ckxstr();
  return result;
}
