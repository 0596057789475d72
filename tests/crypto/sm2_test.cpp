// SM2 against the published example and against OpenSSL's own SM2.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <functional>
#include <map>
#include <vector>

#include "KXSM.h"
#include "crypto/crypto_kit.h"
#include "crypto/sm2_reference.h"

namespace {

using kit::Bytes;

// The published signature examples: B on the recommended curve, and A on the
// test curve of the same standard, which only the reference path handles.
std::vector<std::map<std::string, std::string>> PublishedSignatures() {
  std::vector<std::map<std::string, std::string>> out(2);
  for (auto& kv : kit::ReadVectors("sm2_sign.txt"))
    out[0][kv.first] = kv.second;
  bool inA = false;
  for (auto& [key, value] : kit::ReadVectors("sm2_examples.txt")) {
    if (key == "vector")
      inA = value == "A";
    else if (inA)
      out[1][key] = value;
  }
  return out;
}

kit::Bn BnHex(const std::string& hex) {
  BIGNUM* bn = nullptr;
  BN_hex2bn(&bn, hex.c_str());
  return kit::Bn(bn);
}

std::string BnToHex(const BIGNUM* bn) {
  Bytes b(32);
  BN_bn2binpad(bn, b.data(), 32);
  return kit::ToHex(b);
}

shared_ptr<EC_POINT> PointOf(const Bytes& bytes) {
  return KXStrToECPoint(bytes.data(), static_cast<int>(bytes.size()));
}

TEST(Sm2, PublishedExamplesWithFixedK) {
  auto examples = PublishedSignatures();
  for (size_t i = 0; i < examples.size(); ++i) {
    auto& v = examples[i];
    const bool recommended = i == 0;
    SCOPED_TRACE(recommended ? "B" : "A");
    // The curve as published, built independently of the library's group.
    kit::Bn p = BnHex(v["p"]), a = BnHex(v["a"]), b = BnHex(v["b"]);
    kit::Bn gx = BnHex(v["xG"]), gy = BnHex(v["yG"]), n = BnHex(v["n"]);
    std::unique_ptr<EC_GROUP, kit::Free> group(
        EC_GROUP_new_curve_GFp(p.get(), a.get(), b.get(), nullptr));
    std::unique_ptr<EC_POINT, kit::Free> g(EC_POINT_new(group.get()));
    ASSERT_EQ(1, EC_POINT_set_affine_coordinates(group.get(), g.get(), gx.get(),
                                                 gy.get(), nullptr));
    ASSERT_EQ(1, EC_GROUP_set_generator(group.get(), g.get(), n.get(),
                                        BN_value_one()));
    kit::Bn xa = BnHex(v["xA"]), ya = BnHex(v["yA"]);
    std::unique_ptr<EC_POINT, kit::Free> pub(EC_POINT_new(group.get()));
    ASSERT_EQ(1, EC_POINT_set_affine_coordinates(group.get(), pub.get(),
                                                 xa.get(), ya.get(), nullptr));
    const Bytes id = kit::FromHex(v["ID"]);
    const Bytes msg = kit::FromHex(v["M"]);
    Bytes e = kit::FromHex(v["e"]);
    shared_ptr<EC_POINT> point;
    if (recommended) {
      point = PointOf(kit::FromHex("04" + v["xA"] + v["yA"]));
      ASSERT_TRUE(point);
      unsigned char z[32];
      ASSERT_EQ(1, SM2_do_Z(z, id.data(), static_cast<uint32_t>(id.size()),
                            point.get()));
      EXPECT_EQ(kit::ToHex(z, 32), v["ZA"]);
      ASSERT_EQ(1, SM2_do_dgst(e.data(), msg.data(),
                               static_cast<uint32_t>(msg.size()), point.get()));
      EXPECT_EQ(kit::ToHex(e), v["e"]);
    }

    kit::Bn d = BnHex(v["d"]), k = BnHex(v["k"]);
    std::unique_ptr<ECDSA_SIG, kit::Free> sig(ECDSA_SIG_new());
    int draws = 0;
    ASSERT_EQ(1, kx::reference::SignDigest(
                     group.get(), n.get(), sig.get(), e.data(), d.get(),
                     [&](BIGNUM* out) {
                       return ++draws == 1 && BN_copy(out, k.get()) != nullptr;
                     }));
    const BIGNUM *r = nullptr, *s = nullptr;
    ECDSA_SIG_get0(sig.get(), &r, &s);
    EXPECT_EQ(BnToHex(r), v["r"]);
    EXPECT_EQ(BnToHex(s), v["s"]);
    EXPECT_EQ(1, kx::reference::VerifyDigest(group.get(), e.data(), sig.get(),
                                             pub.get()));
    if (recommended) {
      EXPECT_EQ(1, SM2_do_verify(e.data(), sig.get(), point.get()));
      EXPECT_EQ(1, SM2_Verify(msg.data(), static_cast<uint32_t>(msg.size()),
                              sig.get(), point.get()));
    }
  }
}

// Z built independently from OpenSSL's own description of the curve and
// OpenSSL's SM3: ENTL || ID || a || b || Gx || Gy || X || Y.
Bytes IndependentZ(const Bytes& id, const Bytes& pub) {
  std::unique_ptr<EC_GROUP, kit::Free> group(
      EC_GROUP_new_by_curve_name(NID_sm2));
  kit::Bn a(BN_new()), b(BN_new()), gx(BN_new()), gy(BN_new());
  EC_GROUP_get_curve(group.get(), nullptr, a.get(), b.get(), nullptr);
  EC_POINT_get_affine_coordinates(group.get(),
                                  EC_GROUP_get0_generator(group.get()),
                                  gx.get(), gy.get(), nullptr);
  Bytes input;
  const size_t bits = id.size() * 8;
  input.push_back(static_cast<unsigned char>(bits >> 8));
  input.push_back(static_cast<unsigned char>(bits));
  input.insert(input.end(), id.begin(), id.end());
  for (BIGNUM* bn : {a.get(), b.get(), gx.get(), gy.get()}) {
    unsigned char buf[32];
    BN_bn2binpad(bn, buf, 32);
    input.insert(input.end(), buf, buf + 32);
  }
  input.insert(input.end(), pub.begin() + 1, pub.end());
  Bytes z(32);
  unsigned int len = 0;
  EVP_Digest(input.data(), input.size(), z.data(), &len, EVP_sm3(), nullptr);
  return z;
}

TEST(Sm2, ZMatchesIndependentComputation) {
  kit::Key key = kit::Sm2Key();
  const Bytes pub = kit::PublicPoint(key.get());
  shared_ptr<EC_POINT> point = PointOf(pub);
  ASSERT_TRUE(point);
  const std::string ids[] = {"1234567812345678", "", "ALICE123@YAHOO.COM",
                             std::string(300, 'x'), std::string(8191, 'y')};
  for (const std::string& text : ids) {
    const Bytes id(text.begin(), text.end());
    unsigned char z[32];
    // A non-null pointer even for the empty identifier.
    const unsigned char* idPtr = id.empty() ? z : id.data();
    ASSERT_EQ(1,
              SM2_do_Z(z, idPtr, static_cast<uint32_t>(id.size()), point.get()))
        << id.size();
    EXPECT_EQ(Bytes(z, z + 32), IndependentZ(id, pub)) << id.size();
  }
  // ENTL has 16 bits: 8192 bytes and more cannot be represented.
  const Bytes tooLong(8192, 'z');
  unsigned char z[32];
  EXPECT_EQ(0, SM2_do_Z(z, tooLong.data(), 8192, point.get()));
  EXPECT_EQ(0, SM2_do_Z(z, nullptr, 0, point.get()));
  EXPECT_EQ(0, SM2_do_Z(nullptr, tooLong.data(), 16, point.get()));
  EXPECT_EQ(0, SM2_do_Z(z, tooLong.data(), 16, nullptr));
}

TEST(Sm2, SignaturesCrossVerifyWithOpenssl) {
  for (int round = 0; round < 6; ++round) {
    kit::Key key = kit::Sm2Key();
    const Bytes pub = kit::PublicPoint(key.get());
    shared_ptr<EC_POINT> point = PointOf(pub);
    kit::Bn d = kit::PrivateScalar(key.get());
    ASSERT_TRUE(point && d);
    for (size_t len : {0, 1, 32, 55, 56, 64, 1000}) {
      const Bytes msg = kit::RandomBytes(len);
      const unsigned char* m = len == 0 ? pub.data() : msg.data();
      const uint32_t mlen = static_cast<uint32_t>(len);
      // OpenSSL signs, we verify (DER and 64-byte r || s forms).
      const Bytes theirs = kit::OsslSm2Sign(key.get(), msg);
      shared_ptr<ECDSA_SIG> sig =
          KXStrToECSig(theirs.data(), static_cast<int>(theirs.size()));
      ASSERT_TRUE(sig);
      EXPECT_EQ(1, SM2_Verify(m, mlen, sig.get(), point.get())) << len;
      // We sign (with and without the public point), OpenSSL verifies.
      for (const EC_POINT* given : {static_cast<const EC_POINT*>(point.get()),
                                    static_cast<const EC_POINT*>(nullptr)}) {
        std::unique_ptr<ECDSA_SIG, kit::Free> ours(ECDSA_SIG_new());
        ASSERT_EQ(1, SM2_Sign(ours.get(), m, mlen, given, d.get()));
        ckxstr der = KXECSigToStr(ours.get());
        ASSERT_FALSE(der.empty());
        EXPECT_TRUE(kit::OsslSm2Verify(
            key.get(), msg, Bytes(der.c_str(), der.c_str() + der.length())))
            << len;
      }
    }
  }
}

TEST(Sm2, TamperedSignaturesFail) {
  kit::Key key = kit::Sm2Key(), other = kit::Sm2Key();
  shared_ptr<EC_POINT> point = PointOf(kit::PublicPoint(key.get()));
  shared_ptr<EC_POINT> otherPoint = PointOf(kit::PublicPoint(other.get()));
  const Bytes msg = kit::RandomBytes(32);
  const Bytes der = kit::OsslSm2Sign(key.get(), msg);
  shared_ptr<ECDSA_SIG> good =
      KXStrToECSig(der.data(), static_cast<int>(der.size()));
  ASSERT_EQ(1, SM2_Verify(msg.data(), 32, good.get(), point.get()));
  const BIGNUM *r0 = nullptr, *s0 = nullptr;
  ECDSA_SIG_get0(good.get(), &r0, &s0);
  std::unique_ptr<EC_GROUP, kit::Free> group(
      EC_GROUP_new_by_curve_name(NID_sm2));
  const BIGNUM* n = EC_GROUP_get0_order(group.get());

  enum What { kR, kS };
  struct Row {
    const char* name;
    What what;
    std::function<void(BIGNUM*)> change;
  };
  const Row rows[] = {
      {"r+1", kR, [](BIGNUM* v) { BN_add_word(v, 1); }},
      {"s+1", kS, [](BIGNUM* v) { BN_add_word(v, 1); }},
      {"r=0", kR, [](BIGNUM* v) { BN_zero(v); }},
      {"s=0", kS, [](BIGNUM* v) { BN_zero(v); }},
      {"r=n", kR, [n](BIGNUM* v) { BN_copy(v, n); }},
      {"s=n", kS, [n](BIGNUM* v) { BN_copy(v, n); }},
      {"r+n", kR, [n](BIGNUM* v) { BN_add(v, v, n); }},
      {"s+n", kS, [n](BIGNUM* v) { BN_add(v, v, n); }},
      {"r<0", kR, [](BIGNUM* v) { BN_set_negative(v, 1); }},
      // t = r + s = n: rejected before the point multiplication.
      {"s=n-r", kS, [n, r0](BIGNUM* v) { BN_sub(v, n, r0); }},
  };
  for (const Row& row : rows) {
    kit::Bn r(BN_dup(r0)), s(BN_dup(s0));
    row.change(row.what == kR ? r.get() : s.get());
    std::unique_ptr<ECDSA_SIG, kit::Free> sig(ECDSA_SIG_new());
    ECDSA_SIG_set0(sig.get(), r.release(), s.release());
    EXPECT_EQ(0, SM2_Verify(msg.data(), 32, sig.get(), point.get()))
        << row.name;
  }
  Bytes changed = msg;
  changed[31] ^= 1;
  EXPECT_EQ(0, SM2_Verify(changed.data(), 32, good.get(), point.get()));
  EXPECT_EQ(0, SM2_Verify(msg.data(), 31, good.get(), point.get()));
  EXPECT_EQ(0, SM2_Verify(msg.data(), 32, good.get(), otherPoint.get()));
  EXPECT_EQ(0, SM2_Verify(nullptr, 0, good.get(), point.get()));
  EXPECT_EQ(0, SM2_Verify(msg.data(), 32, nullptr, point.get()));
  EXPECT_EQ(0, SM2_Verify(msg.data(), 32, good.get(), nullptr));
}

TEST(Sm2, DigestIsSm3OfZAndMessage) {
  kit::Key key = kit::Sm2Key();
  const Bytes pub = kit::PublicPoint(key.get());
  shared_ptr<EC_POINT> point = PointOf(pub);
  const Bytes msg = kit::RandomBytes(77);
  unsigned char e[32];
  ASSERT_EQ(1, SM2_do_dgst(e, msg.data(), 77, point.get()));
  Bytes input = IndependentZ(Bytes(kit::kSm2Id, kit::kSm2Id + 16), pub);
  input.insert(input.end(), msg.begin(), msg.end());
  Bytes expected(32);
  unsigned int len = 0;
  EVP_Digest(input.data(), input.size(), expected.data(), &len, EVP_sm3(),
             nullptr);
  EXPECT_EQ(Bytes(e, e + 32), expected);
  EXPECT_EQ(0, SM2_do_dgst(e, nullptr, 0, point.get()));
  EXPECT_EQ(0, SM2_do_dgst(nullptr, msg.data(), 77, point.get()));
}

TEST(Sm2, PointConversions) {
  kit::Key key = kit::Sm2Key();
  const Bytes pub = kit::PublicPoint(key.get());
  ASSERT_EQ(pub.size(), 65u);
  shared_ptr<EC_POINT> point = PointOf(pub);
  ASSERT_TRUE(point);
  ckxstr back = KXECPointToStr(point.get());
  EXPECT_EQ(Bytes(back.c_str(), back.c_str() + back.length()), pub);

  Bytes offCurve = pub;
  offCurve[64] ^= 1;
  Bytes compressed(pub.begin(), pub.begin() + 33);
  compressed[0] = 0x02 | (pub[64] & 1);
  Bytes padded = pub;
  padded.push_back(0);
  struct Row {
    const char* name;
    Bytes bytes;
  } rows[] = {
      {"bare 64 coordinates", Bytes(pub.begin() + 1, pub.end())},
      {"66 bytes", padded},
      {"compressed", compressed},
      {"65 bytes with 02",
       [&] {
         Bytes b = pub;
         b[0] = 0x02;
         return b;
       }()},
      {"65 bytes with 03",
       [&] {
         Bytes b = pub;
         b[0] = 0x03;
         return b;
       }()},
      {"not on the curve", offCurve},
      {"empty", Bytes()},
  };
  for (const Row& row : rows)
    EXPECT_FALSE(
        KXStrToECPoint(row.bytes.data(), static_cast<int>(row.bytes.size())))
        << row.name;
  EXPECT_FALSE(KXStrToECPoint(nullptr, 65));
  EXPECT_TRUE(KXECPointToStr(nullptr).empty());
}

TEST(Sm2, SignatureConversions) {
  const Bytes r = kit::FromHex(
      "005A3B0648D2C4630EEAC513E1BB81A15944DA3827D5B74143AC7EACEEE720B3");
  const Bytes s = kit::FromHex(
      "B1B6AA29DF212FD8763182BC0D421CA1BB9038FD1F7F42D4840B69C485BBC1AA");
  Bytes raw = r;
  raw.insert(raw.end(), s.begin(), s.end());
  shared_ptr<ECDSA_SIG> fromRaw = KXStrToECSig(raw.data(), 64);
  ASSERT_TRUE(fromRaw);
  ckxstr der = KXECSigToStr(fromRaw.get());
  // DER: r loses its leading zero byte, s gains one.
  EXPECT_EQ(kit::ToHex(der.c_str(), der.length()),
            "3044021F" + kit::ToHex(Bytes(r.begin() + 1, r.end())) + "022100" +
                kit::ToHex(s));
  shared_ptr<ECDSA_SIG> fromDer =
      KXStrToECSig(der.c_str(), static_cast<int>(der.length()));
  ASSERT_TRUE(fromDer);
  const BIGNUM *r1, *s1, *r2, *s2;
  ECDSA_SIG_get0(fromRaw.get(), &r1, &s1);
  ECDSA_SIG_get0(fromDer.get(), &r2, &s2);
  EXPECT_EQ(0, BN_cmp(r1, r2));
  EXPECT_EQ(0, BN_cmp(s1, s2));

  const Bytes garbage = kit::FromHex("3006020101020100FF");
  EXPECT_FALSE(KXStrToECSig(nullptr, 64));
  EXPECT_FALSE(KXStrToECSig(raw.data(), 0));
  EXPECT_FALSE(KXStrToECSig(raw.data(), -1));
  EXPECT_FALSE(KXStrToECSig(raw.data(), 63));
  EXPECT_FALSE(KXStrToECSig(der.c_str(), static_cast<int>(der.length()) - 1));
  EXPECT_FALSE(KXStrToECSig(garbage.data(), 3));
  EXPECT_TRUE(KXECSigToStr(nullptr).empty());
}

TEST(Sm2, EncryptionIsNotOffered) {
  EXPECT_EQ(0, SM2_Encrypt());
  EXPECT_EQ(0, SM2_Decrypt());
}

TEST(SharedPtr, CountsReferencesAndFreesOnce) {
  int freed = 0;
  struct CountingDeleter {
    int* freed;
    void operator()(EC_POINT* p) const {
      ++*freed;
      EC_POINT_free(p);
    }
  };
  std::unique_ptr<EC_GROUP, kit::Free> group(
      EC_GROUP_new_by_curve_name(NID_sm2));
  {
    shared_ptr<EC_POINT> a(EC_POINT_new(group.get()), CountingDeleter{&freed});
    EXPECT_EQ(a.use_count(), 1);
    {
      shared_ptr<EC_POINT> b = a;
      shared_ptr<EC_POINT> c;
      c = b;
      EXPECT_EQ(a.use_count(), 3);
      EXPECT_EQ(c.get(), a.get());
      shared_ptr<EC_POINT> d = std::move(c);
      EXPECT_FALSE(c);
      EXPECT_EQ(a.use_count(), 3);
    }
    EXPECT_EQ(a.use_count(), 1);
    EXPECT_EQ(freed, 0);
  }
  EXPECT_EQ(freed, 1);
  shared_ptr<EC_POINT> empty(nullptr);
  EXPECT_FALSE(empty);
  EXPECT_EQ(empty.use_count(), 0);
}

}  // namespace

namespace {

// x1 of s*G + t*P may lie in [n, p); then (e + x1) mod n == r holds for
// x1 = c + n rather than c = (r - e) mod n. Such a point is rare by chance,
// so build one: Q with x(Q) >= n, P = (Q - G) / 2, r = s = 1 (t = 2), and
// e = (1 - x(Q)) mod n.
TEST(Sm2, VerifiesWhenX1IsAtLeastTheOrder) {
  std::unique_ptr<EC_GROUP, kit::Free> group(
      EC_GROUP_new_by_curve_name(NID_sm2));
  std::unique_ptr<BN_CTX, void (*)(BN_CTX*)> ctx(BN_CTX_new(), BN_CTX_free);
  const BIGNUM* n = EC_GROUP_get0_order(group.get());
  std::unique_ptr<EC_POINT, kit::Free> q(EC_POINT_new(group.get()));
  kit::Bn x(BN_dup(n));
  for (;;) {
    BN_add_word(x.get(), 1);
    if (EC_POINT_set_compressed_coordinates(group.get(), q.get(), x.get(), 0,
                                            ctx.get()) == 1)
      break;
  }
  // P = inv(2) * (Q - G)
  std::unique_ptr<EC_POINT, kit::Free> p(
      EC_POINT_dup(EC_GROUP_get0_generator(group.get()), group.get()));
  EC_POINT_invert(group.get(), p.get(), ctx.get());
  EC_POINT_add(group.get(), p.get(), p.get(), q.get(), ctx.get());
  kit::Bn two(BN_new()), half(BN_new());
  BN_set_word(two.get(), 2);
  BN_mod_inverse(half.get(), two.get(), n, ctx.get());
  EC_POINT_mul(group.get(), p.get(), nullptr, p.get(), half.get(), ctx.get());
  unsigned char pub[65];
  ASSERT_EQ(65u, EC_POINT_point2oct(group.get(), p.get(),
                                    POINT_CONVERSION_UNCOMPRESSED, pub, 65,
                                    ctx.get()));
  shared_ptr<EC_POINT> point = KXStrToECPoint(pub, 65);
  ASSERT_TRUE(point);

  kit::Bn eNum(BN_new()), one(BN_new());
  BN_one(one.get());
  BN_mod_sub(eNum.get(), one.get(), x.get(), n, ctx.get());
  unsigned char e[32];
  BN_bn2binpad(eNum.get(), e, 32);
  std::unique_ptr<ECDSA_SIG, kit::Free> sig(ECDSA_SIG_new());
  ECDSA_SIG_set0(sig.get(), BN_dup(one.get()), BN_dup(one.get()));
  EXPECT_EQ(1, SM2_do_verify(e, sig.get(), point.get()));
  e[31] ^= 1;
  EXPECT_EQ(0, SM2_do_verify(e, sig.get(), point.get()));
}

}  // namespace
