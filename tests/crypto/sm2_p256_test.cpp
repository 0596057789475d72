// The dedicated SM2 curve arithmetic against OpenSSL's generic EC_POINT
// arithmetic on the same curve, and against the published examples.
#include "crypto/sm2_p256.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "KXSM.h"
#include "crypto/crypto_kit.h"
#include "crypto/sm2_reference.h"

namespace {

using kit::Bytes;
namespace p256 = kx::sm2p256;

const char kOrderHex[] =
    "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54123";

Bytes Hex32(const std::string& hex) {
  return kit::FromHex(std::string(64 - hex.size(), '0') + hex);
}

// 32 bytes of n + delta (mod 2^256), delta small.
Bytes OrderPlus(int delta) {
  Bytes b = kit::FromHex(kOrderHex);
  int carry = delta;
  for (int i = 31; i >= 0 && carry != 0; --i) {
    const int v = b[i] + carry;
    b[i] = static_cast<unsigned char>(v & 0xFF);
    carry = v >> 8;  // -1 on borrow, 1 on carry
  }
  return b;
}

// Scalars whose bits run in blocks of `run` ones and `run` zeros.
Bytes Runs(int run, bool startWithOnes) {
  Bytes b(32);
  for (int bit = 0; bit < 256; ++bit)
    if (((bit / run) % 2 == 0) == startWithOnes)
      b[31 - bit / 8] |= static_cast<unsigned char>(1 << (bit % 8));
  return b;
}

// OpenSSL's generic arithmetic on its own description of the SM2 curve.
class Generic {
 public:
  Generic() : group_(EC_GROUP_new_by_curve_name(NID_sm2)), ctx_(BN_CTX_new()) {}
  const EC_GROUP* group() const { return group_.get(); }

  kx::UniquePtr<EC_POINT> Point(const Bytes& xy) const {
    kx::UniquePtr<EC_POINT> point(EC_POINT_new(group_.get()));
    Bytes encoded{0x04};
    encoded.insert(encoded.end(), xy.begin(), xy.end());
    if (EC_POINT_oct2point(group_.get(), point.get(), encoded.data(),
                           encoded.size(), ctx_.get()) != 1)
      return nullptr;
    return point;
  }

  Bytes Encode(const EC_POINT* point) const {
    unsigned char out[65];
    if (EC_POINT_point2oct(group_.get(), point, POINT_CONVERSION_UNCOMPRESSED,
                           out, sizeof out, ctx_.get()) != sizeof out)
      return Bytes();  // the point at infinity
    return Bytes(out + 1, out + 65);
  }

  // u1*G + u2*P as X || Y, empty for the point at infinity.
  Bytes Mul(const Bytes& u1, const Bytes& u2, const Bytes& pub) const {
    kit::Bn a(BN_bin2bn(u1.data(), 32, nullptr));
    kit::Bn b(BN_bin2bn(u2.data(), 32, nullptr));
    kx::UniquePtr<EC_POINT> p = Point(pub);
    kx::UniquePtr<EC_POINT> out(EC_POINT_new(group_.get()));
    EXPECT_TRUE(p != nullptr);
    EXPECT_EQ(1, EC_POINT_mul(group_.get(), out.get(), a.get(), p.get(),
                              b.get(), ctx_.get()));
    return Encode(out.get());
  }

  Bytes BaseMul(const Bytes& k) const {
    kit::Bn a(BN_bin2bn(k.data(), 32, nullptr));
    kx::UniquePtr<EC_POINT> out(EC_POINT_new(group_.get()));
    EXPECT_EQ(1, EC_POINT_mul(group_.get(), out.get(), a.get(), nullptr,
                              nullptr, ctx_.get()));
    return Encode(out.get());
  }

  Bytes Negate(const Bytes& xy) const {
    kx::UniquePtr<EC_POINT> p = Point(xy);
    EC_POINT_invert(group_.get(), p.get(), ctx_.get());
    return Encode(p.get());
  }

 private:
  kx::UniquePtr<EC_GROUP> group_;
  kx::UniquePtr<BN_CTX> ctx_;
};

Bytes OurBaseMul(const Bytes& k) {
  Bytes xy(64);
  return p256::BaseMul(k.data(), xy.data()) ? xy : Bytes();
}

Bytes OurDoubleMul(const Bytes& u1, const Bytes& u2, const Bytes& pub) {
  Bytes xy(64);
  const p256::MulResult result =
      p256::DoubleMul(u1.data(), u2.data(), pub.data(), xy.data());
  EXPECT_NE(result, p256::MulResult::kInvalidPoint);
  return result == p256::MulResult::kPoint ? xy : Bytes();
}

std::vector<Bytes> EdgeScalars() {
  std::vector<Bytes> s = {Hex32("0"),
                          Hex32("1"),
                          Hex32("2"),
                          Hex32("3F"),
                          Hex32("40"),
                          Hex32("7F"),
                          OrderPlus(-1),
                          OrderPlus(-2),
                          OrderPlus(0),
                          OrderPlus(1),
                          OrderPlus(2),
                          Bytes(32, 0xFF),
                          Hex32("8" + std::string(63, '0')),
                          Hex32(std::string(32, 'F')),
                          Hex32("1" + std::string(32, '0')),
                          Hex32("55555555555555555555555555555555"
                                "55555555555555555555555555555555"),
                          Hex32("AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"
                                "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA")};
  for (int run : {5, 6, 7, 13, 31, 64, 100})
    for (bool ones : {true, false}) s.push_back(Runs(run, ones));
  return s;
}

TEST(Sm2Curve, BaseMulMatchesGenericArithmetic) {
  Generic generic;
  std::vector<Bytes> scalars = EdgeScalars();
  for (int i = 0; i < 150; ++i) scalars.push_back(kit::RandomBytes(32));
  for (const Bytes& k : scalars)
    ASSERT_EQ(OurBaseMul(k), generic.BaseMul(k)) << kit::ToHex(k);
}

TEST(Sm2Curve, DoubleMulMatchesGenericArithmetic) {
  Generic generic;
  const Bytes g = generic.BaseMul(Hex32("1"));
  const Bytes minusG = generic.Negate(g);
  struct Row {
    const char* name;
    Bytes u1, u2, pub;
  };
  std::vector<Row> rows = {
      // 3G + 3G: the second addition meets the same point (a doubling).
      {"P=G, u1=u2=3", Hex32("3"), Hex32("3"), g},
      {"P=G, u1=u2=2^255", Hex32("8" + std::string(63, '0')),
       Hex32("8" + std::string(63, '0')), g},
      // 7G + 7(-G): a point plus its negation.
      {"P=-G, u1=u2=7", Hex32("7"), Hex32("7"), minusG},
      {"P=G, u1=1, u2=n-1", Hex32("1"), OrderPlus(-1), g},
      {"u1=u2=0", Hex32("0"), Hex32("0"), g},
      {"u1=u2=n", OrderPlus(0), OrderPlus(0), minusG},
      {"u2=n+1", Hex32("0"), OrderPlus(1), minusG},
  };
  for (const Bytes& u : EdgeScalars()) {
    const Bytes p = generic.BaseMul(kit::RandomBytes(32));
    rows.push_back({"edge u1", u, kit::RandomBytes(32), p});
    rows.push_back({"edge u2", kit::RandomBytes(32), u, p});
    rows.push_back({"edge u1, P=G", u, u, g});
  }
  for (int i = 0; i < 60; ++i)
    rows.push_back({"random", kit::RandomBytes(32), kit::RandomBytes(32),
                    generic.BaseMul(kit::RandomBytes(32))});
  for (const Row& row : rows)
    ASSERT_EQ(OurDoubleMul(row.u1, row.u2, row.pub),
              generic.Mul(row.u1, row.u2, row.pub))
        << row.name << " " << kit::ToHex(row.u1) << " " << kit::ToHex(row.u2);
}

TEST(Sm2Curve, PointsOffTheCurveAreRejected) {
  Generic generic;
  const Bytes good = generic.BaseMul(kit::RandomBytes(32));
  const Bytes p = kit::FromHex(
      "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFF");
  auto with = [&](size_t at, const Bytes& part) {
    Bytes b = good;
    std::copy(part.begin(), part.end(), b.begin() + at);
    return b;
  };
  Bytes flipped = good;
  flipped[63] ^= 1;
  // A point with a small x written with x + p (< 2^256) instead: the same
  // point mod p, but not a valid encoding.
  Bytes shifted;
  for (unsigned x = 1; shifted.empty(); ++x) {
    kit::Bn bx(BN_new());
    BN_set_word(bx.get(), x);
    kx::UniquePtr<EC_POINT> point(EC_POINT_new(generic.group()));
    if (EC_POINT_set_compressed_coordinates(generic.group(), point.get(),
                                            bx.get(), 0, nullptr) != 1)
      continue;
    shifted = generic.Encode(point.get());
    unsigned carry = x;
    for (int i = 31; i >= 0; --i) {
      carry += p[i];
      shifted[i] = static_cast<unsigned char>(carry);
      carry >>= 8;
    }
  }
  struct Row {
    const char* name;
    Bytes xy;
  } rows[] = {
      {"y + 1", flipped},
      {"zeros", Bytes(64, 0)},
      {"x = p", with(0, p)},
      {"y = p", with(32, p)},
      {"all ones", Bytes(64, 0xFF)},
      {"x swapped with y", with(0, Bytes(good.begin() + 32, good.end()))},
      {"x + p", shifted},
  };
  const Bytes u = kit::RandomBytes(32);
  const Bytes e = kit::RandomBytes(32), r = Hex32("1"), s = Hex32("2");
  Bytes xy(64);
  for (const Row& row : rows) {
    EXPECT_FALSE(p256::IsOnCurve(row.xy.data())) << row.name;
    EXPECT_EQ(generic.Point(row.xy), nullptr) << row.name;
    EXPECT_EQ(p256::DoubleMul(u.data(), u.data(), row.xy.data(), xy.data()),
              p256::MulResult::kInvalidPoint)
        << row.name;
    EXPECT_EQ(0,
              p256::VerifyDigest(e.data(), r.data(), s.data(), row.xy.data()))
        << row.name;
  }
  EXPECT_TRUE(p256::IsOnCurve(good.data()));
}

// One verification by both paths; returns ours after comparing.
int VerifyBoth(const Generic& generic, const Bytes& e, const Bytes& r,
               const Bytes& s, const Bytes& pub) {
  kit::Bn rn(BN_bin2bn(r.data(), 32, nullptr));
  kit::Bn sn(BN_bin2bn(s.data(), 32, nullptr));
  std::unique_ptr<ECDSA_SIG, kit::Free> sig(ECDSA_SIG_new());
  ECDSA_SIG_set0(sig.get(), rn.release(), sn.release());
  kx::UniquePtr<EC_POINT> point = generic.Point(pub);
  const int theirs = kx::reference::VerifyDigest(generic.group(), e.data(),
                                                 sig.get(), point.get());
  const int ours = p256::VerifyDigest(e.data(), r.data(), s.data(), pub.data());
  EXPECT_EQ(ours, theirs) << kit::ToHex(r) << " " << kit::ToHex(s);
  return ours;
}

// Signs with the same k on both paths: (r, s) must be identical, and both
// verifications must agree on the signature and on changed copies of it.
TEST(Sm2Curve, SigningAndVerificationMatchGenericPath) {
  Generic generic;
  const BIGNUM* n = EC_GROUP_get0_order(generic.group());
  std::vector<Bytes> keys = {Hex32("1"), OrderPlus(-2)};
  for (int i = 0; i < 12; ++i) keys.push_back(kit::RandomBytes(32));
  const std::vector<Bytes> edgeKs = {Hex32("1"), OrderPlus(-1), Runs(31, true)};
  int signatures = 0;
  for (size_t i = 0; i < keys.size(); ++i) {
    const Bytes& dBytes = keys[i];
    p256::SigningKey key;
    ASSERT_NE(0u, p256::PrepareSigningKey(dBytes.data(), &key));
    const Bytes pub = generic.BaseMul(dBytes);
    kit::Bn d(BN_bin2bn(dBytes.data(), 32, nullptr));
    kx::UniquePtr<BN_CTX> ctx(BN_CTX_new());
    BN_nnmod(d.get(), d.get(), n, ctx.get());
    const Bytes e = kit::RandomBytes(32);
    const Bytes k = i < edgeKs.size() ? edgeKs[i] : kit::RandomBytes(32);
    Bytes r(32), s(32);
    if (p256::SignDigest(key, e.data(), k.data(), r.data(), s.data()) == 0)
      continue;  // k rejected; the reference would draw again too
    ++signatures;
    std::unique_ptr<ECDSA_SIG, kit::Free> sig(ECDSA_SIG_new());
    ASSERT_EQ(1, kx::reference::SignDigest(generic.group(), n, sig.get(),
                                           e.data(), d.get(), [&](BIGNUM* out) {
                                             return BN_bin2bn(k.data(), 32,
                                                              out) != nullptr;
                                           }));
    const BIGNUM *rn = nullptr, *sn = nullptr;
    ECDSA_SIG_get0(sig.get(), &rn, &sn);
    Bytes rRef(32), sRef(32);
    BN_bn2binpad(rn, rRef.data(), 32);
    BN_bn2binpad(sn, sRef.data(), 32);
    ASSERT_EQ(r, rRef);
    ASSERT_EQ(s, sRef);

    EXPECT_EQ(1, VerifyBoth(generic, e, r, s, pub));
    Bytes changed = e;
    changed[0] ^= 0x80;
    EXPECT_EQ(0, VerifyBoth(generic, changed, r, s, pub));
    Bytes sum(32);
    kit::Bn t(BN_new());
    BN_sub(t.get(), n, rn);  // s = n - r: t = r + s = 0
    BN_bn2binpad(t.get(), sum.data(), 32);
    for (const auto& [rr, ss] : std::vector<std::pair<Bytes, Bytes>>{
             {s, r},
             {r, sum},
             {Hex32("0"), s},
             {r, OrderPlus(0)},
             {OrderPlus(-1), s},
             {kit::RandomBytes(32), kit::RandomBytes(32)}})
      EXPECT_EQ(0, VerifyBoth(generic, e, rr, ss, pub));
  }
  EXPECT_GT(signatures, 10);
}

TEST(Sm2Curve, SigningRejectsUnusableKAndKey) {
  p256::SigningKey key;
  EXPECT_EQ(0u, p256::PrepareSigningKey(OrderPlus(-1).data(), &key));
  ASSERT_NE(0u, p256::PrepareSigningKey(kit::RandomBytes(32).data(), &key));
  const Bytes e = kit::RandomBytes(32);
  Bytes r(32), s(32);
  for (const Bytes& k :
       {Hex32("0"), OrderPlus(0), OrderPlus(1), Bytes(32, 0xFF)})
    EXPECT_EQ(0u, p256::SignDigest(key, e.data(), k.data(), r.data(), s.data()))
        << kit::ToHex(k);
}

// Blocks of the example file, each named by its "vector =" line.
std::map<std::string, std::map<std::string, std::string>> Examples() {
  std::map<std::string, std::map<std::string, std::string>> out;
  std::string current;
  for (const auto& [key, value] : kit::ReadVectors("sm2_examples.txt")) {
    if (key == "vector")
      current = value;
    else
      out[current][key] = value;
  }
  for (const auto& [key, value] : kit::ReadVectors("sm2_sign.txt"))
    out["B"][key] = value;
  return out;
}

TEST(Sm2Curve, PublishedExamples) {
  auto examples = Examples();
  ASSERT_EQ(examples.size(), 5u);
  // B: the recommended curve, signed with the published k.
  auto& b = examples["B"];
  const Bytes pubB = kit::FromHex(b["xA"] + b["yA"]);
  EXPECT_EQ(OurBaseMul(kit::FromHex(b["d"])), pubB);
  p256::SigningKey key;
  ASSERT_NE(0u, p256::PrepareSigningKey(kit::FromHex(b["d"]).data(), &key));
  Bytes r(32), s(32);
  const Bytes e = kit::FromHex(b["e"]);
  ASSERT_NE(0u, p256::SignDigest(key, e.data(), kit::FromHex(b["k"]).data(),
                                 r.data(), s.data()));
  EXPECT_EQ(kit::ToHex(r), b["r"]);
  EXPECT_EQ(kit::ToHex(s), b["s"]);
  EXPECT_EQ(1, p256::VerifyDigest(e.data(), r.data(), s.data(), pubB.data()));
  // D1, D2: signatures on a digest.
  for (const char* name : {"D1", "D2"}) {
    auto& v = examples[name];
    const Bytes pub = kit::FromHex(v["xA"] + v["yA"]);
    const Bytes ev = kit::FromHex(v["e"]);
    Bytes rv = kit::FromHex(v["r"]), sv = kit::FromHex(v["s"]);
    EXPECT_EQ(1,
              p256::VerifyDigest(ev.data(), rv.data(), sv.data(), pub.data()))
        << name;
    sv[31] ^= 1;
    EXPECT_EQ(0,
              p256::VerifyDigest(ev.data(), rv.data(), sv.data(), pub.data()))
        << name;
  }
  // C: a certificate key's Z through the exported function.
  auto& c = examples["C"];
  const Bytes pubC = kit::FromHex("04" + c["xA"] + c["yA"]);
  shared_ptr<EC_POINT> point =
      KXStrToECPoint(pubC.data(), static_cast<int>(pubC.size()));
  ASSERT_TRUE(point);
  const Bytes id = kit::FromHex(c["ID"]);
  unsigned char z[32];
  ASSERT_EQ(1, SM2_do_Z(z, id.data(), 16, point.get()));
  EXPECT_EQ(kit::ToHex(z, 32), c["ZA"]);
  EXPECT_TRUE(p256::IsOnCurve(pubC.data() + 1));
}

}  // namespace
