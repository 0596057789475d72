// Decoding a fixture and encoding it again gives back the same bytes, for
// every structure, every family, with and without every OPTIONAL field, in
// both libraries' copies of the templates (and through the descriptors).
#include <gtest/gtest.h>

#include <vector>

#include "codecs.h"

namespace formats_test {
namespace {

using fx::Family;

enum class Copies { kBoth, kCoreOnly, kVerifierOnly };

struct Case {
  std::string label;
  std::string structure;
  Bytes der;
  Copies copies = Copies::kBoth;
};

// The fixture variants: each family bare (no OPTIONAL field), each family
// with every OPTIONAL field present, and a few unusual but valid shapes.
struct Variant {
  std::string label;
  Family family;
  fx::SealSpec seal;
  fx::SignatureSpec sig;
};

std::vector<Variant> Variants() {
  std::vector<Variant> out;
  for (Family f : {Family::kPlain, Family::kGin, Family::kGov}) {
    Variant bare{std::string(fx::FamilyName(f)) + "/bare", f, {}, {}};
    out.push_back(bare);

    Variant full{std::string(fx::FamilyName(f)) + "/all-optional", f, {}, {}};
    full.seal.extDatas = std::vector<fx::ExtensionSpec>{
        {}, {"1.2.156.1.8888.2", true, {0x30, 0x00}}};
    full.seal.ginCertListExt = fx::ToBytes("gin-ext");
    full.sig.verfyResult = fx::ResultDataSpec{{0x01, 0x02}, {0x03}};
    full.sig.extDatas = std::vector<fx::ExtensionSpec>{{}};
    full.sig.timeStamp = std::vector<Bytes>{{0x01}, {0x02, 0x03}, {}};
    out.push_back(full);

    // RSA maker and signer; two owners; a picture past 64 KiB (3-octet
    // lengths); an empty extension list; a 256-valued version.
    Variant unusual{std::string(fx::FamilyName(f)) + "/unusual", f, {}, {}};
    unusual.seal.maker = fx::DefaultMaker(fx::KeyType::kRsa);
    unusual.seal.ownerCerts =
        std::vector<Bytes>{fx::DefaultSigner().certDer,
                           fx::DefaultSigner(fx::KeyType::kRsa).certDer};
    unusual.seal.pictureData = fx::PicturePattern(70000);
    unusual.seal.extDatas = std::vector<fx::ExtensionSpec>{};
    unusual.seal.name = "";
    unusual.sig.signer = fx::DefaultSigner(fx::KeyType::kRsa);
    unusual.sig.timeStamp = std::vector<Bytes>{};
    unusual.sig.dataHash = {};
    out.push_back(unusual);
  }
  Variant versioned{"plain/version-0x0100", Family::kPlain, {}, {}};
  versioned.seal.versionContent = {0x01, 0x00};
  versioned.sig.versionContent = {0x01, 0x00};
  out.push_back(versioned);
  return out;
}

void AddSealCases(const Variant& v, std::vector<Case>* cases) {
  Bytes signedPart;
  Bytes seal = fx::MakeSeal(v.family, v.seal, &signedPart);
  auto add = [&](const char* structure, Bytes der) {
    cases->push_back({v.label + " " + structure, structure, std::move(der)});
  };
  switch (v.family) {
    case Family::kPlain:
      add("SESeal", seal);
      add("SESSealInfo", ChildAt(seal, {0}));
      add("SESHeader", ChildAt(seal, {0, 0}));
      add("SESESPropertyInfo", ChildAt(seal, {0, 2}));
      add("SESESPictrueInfo", ChildAt(seal, {0, 3}));
      add("SESSignInfo", ChildAt(seal, {1}));
      add("TBS_Seal", signedPart);
      break;
    case Family::kGin:
      add("GIN_SESeal", seal);
      add("GIN_SESSealInfo", ChildAt(seal, {0}));
      add("SESHeader", ChildAt(seal, {0, 0}));
      add("GIN_SESESPropertyInfo", ChildAt(seal, {0, 2}));
      add("GIN_CertList", ChildAt(seal, {0, 2, 2}));
      add("GIN_CertDigest", ChildAt(seal, {0, 2, 2, 0, 0}));
      add("SESESPictrueInfo", ChildAt(seal, {0, 3}));
      break;
    case Family::kGov:
      add("GOV_SESeal", seal);
      add("GOV_SESSealInfo", ChildAt(seal, {0}));
      add("SESHeader", ChildAt(seal, {0, 0}));
      add("GOV_SESESPropertyInfo", ChildAt(seal, {0, 2}));
      add("SESCertList", ChildAt(seal, {0, 2, 3}));
      add("SESESPictrueInfo", ChildAt(seal, {0, 3}));
      add("GOV_TBS_Seal", fx::asn::Seq({ChildAt(seal, {0})}));
      break;
  }
}

void AddSignatureCases(const Variant& v, std::vector<Case>* cases) {
  auto add = [&](const char* structure, Bytes der, Copies copies) {
    cases->push_back(
        {v.label + " " + structure, structure, std::move(der), copies});
  };
  fx::SignatureSpec params = v.sig;
  params.seal = fx::MakeSeal(v.family, v.seal);
  Bytes sig = fx::MakeSignature(v.family, params);
  switch (v.family) {
    case Family::kPlain:
      add("SESSignature", sig, Copies::kBoth);
      add("TBS_Sign", ChildAt(sig, {0}), Copies::kBoth);
      add("TBS_Server",
          fx::asn::Seq({*params.seal,
                        fx::asn::Bits(fx::ToBytes("20240101000000Z")),
                        fx::asn::Bits(params.dataHash)}),
          Copies::kBoth);
      break;
    case Family::kGin: {
      // The verifier's layout, then libsealcore's.
      add("GIN_SESSignature", sig, Copies::kVerifierOnly);
      add("GIN_TBS_Sign", ChildAt(sig, {0}), Copies::kVerifierOnly);
      if (params.verfyResult)
        add("ResultData", ChildAt(sig, {0, 5}), Copies::kBoth);
      fx::SignatureSpec embedded = params;
      embedded.ginEmbeddedSeal = true;
      Bytes coreSig = fx::MakeSignature(v.family, embedded);
      add("GIN_SESSignature", coreSig, Copies::kCoreOnly);
      add("GIN_TBS_Sign", ChildAt(coreSig, {0}), Copies::kCoreOnly);
      break;
    }
    case Family::kGov:
      add("GOV_SESSignature", sig, Copies::kBoth);
      add("GOV_TBS_Sign", ChildAt(sig, {0}), Copies::kBoth);
      break;
  }
}

std::vector<Case> AllCases() {
  std::vector<Case> cases;
  for (const Variant& v : Variants()) {
    AddSealCases(v, &cases);
    AddSignatureCases(v, &cases);
  }
  // GOV certificate digests only exist inside a seal that cannot decode;
  // the element itself is valid on its own.
  fx::SealSpec digests;
  digests.govCertDigests =
      std::vector<fx::CertDigestSpec>{{"SM3", Bytes(32, 0x11)}, {"SHA1", {}}};
  Bytes gov = fx::MakeSeal(Family::kGov, digests);
  cases.push_back({"GOV/digest-list CertDigstObj", "CertDigstObj",
                   ChildAt(gov, {0, 2, 3, 0})});
  cases.push_back({"GOV/digest-list CertDigstObj(2)", "CertDigstObj",
                   ChildAt(gov, {0, 2, 3, 1})});
  return cases;
}

TEST(FormatsRoundTrip, EveryStructureReencodesToTheSameBytes) {
  std::vector<Case> cases = AllCases();
  std::map<std::string, int> covered;
  for (const Case& c : cases) {
    for (bool verifier : {false, true}) {
      if (verifier && c.copies == Copies::kCoreOnly) continue;
      if (!verifier && c.copies == Copies::kVerifierOnly) continue;
      const Codec& codec =
          (verifier ? VerifierCodecs() : CoreCodecs()).at(c.structure);
      SCOPED_TRACE(c.label + (verifier ? " [sealverify]" : " [sealcore]"));
      Bytes out;
      size_t consumed = 0;
      ASSERT_TRUE(codec.run(c.der, &out, &consumed));
      EXPECT_EQ(consumed, c.der.size());
      EXPECT_EQ(fx::ToHex(out), fx::ToHex(c.der));
      // The exported descriptor drives the generic engine the same way.
      Bytes viaItem;
      ASSERT_TRUE(RunItem(codec.item, c.der, &viaItem));
      EXPECT_EQ(viaItem, c.der);
      ++covered[c.structure];
    }
  }
  // Every structure of the formats is exercised.
  for (const auto& entry : CoreCodecs())
    EXPECT_GT(covered[entry.first], 0) << entry.first;
}

// The optional fields decode to null when absent and keep order when present.
TEST(FormatsRoundTrip, OptionalFieldsAreNullWhenAbsentAndOrderedWhenPresent) {
  Bytes bareGin = fx::MakeSignature(Family::kGin);
  auto gin = kx::der::Decode<kxsv::GIN_SESSignature_t>(bareGin);
  ASSERT_TRUE(gin);
  EXPECT_EQ(gin->tbsSign->verfyResult, nullptr);

  Bytes bareGov = fx::MakeSignature(Family::kGov);
  auto gov = kx::der::Decode<GOV_SESSignature_t>(bareGov);
  ASSERT_TRUE(gov);
  EXPECT_EQ(gov->timeStamp, nullptr);
  EXPECT_EQ(gov->tbsSign->extDatas, nullptr);
  EXPECT_EQ(gov->tbsSign->eseal->esealInfo->extDatas, nullptr);

  fx::SignatureSpec params;
  params.timeStamp = std::vector<Bytes>{{0x0A}, {0x0B, 0x0B}, {0x0C, 0x0C, 0x0C}};
  auto stamped = kx::der::Decode<GOV_SESSignature_t>(
      fx::MakeSignature(Family::kGov, params));
  ASSERT_TRUE(stamped);
  ASSERT_EQ(sk_ASN1_BIT_STRING_num(stamped->timeStamp), 3);
  for (int i = 0; i < 3; ++i) {
    const ASN1_BIT_STRING* stamp =
        sk_ASN1_BIT_STRING_value(stamped->timeStamp, i);
    EXPECT_EQ(ASN1_STRING_length(stamp), i + 1);
    EXPECT_EQ(ASN1_STRING_get0_data(stamp)[0], 0x0A + i);
  }
}

}  // namespace
}  // namespace formats_test
