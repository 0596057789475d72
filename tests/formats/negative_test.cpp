// Malformed and unusual encodings: what the decoders reject, what they
// accept, and that accepted non-DER forms come back as DER.
#include <gtest/gtest.h>

#include "codecs.h"

namespace formats_test {
namespace {

using fx::Family;

// The top-level structures, each with a valid fixture and the codec copies
// that read it.
struct TopLevel {
  const char* structure;
  Bytes der;
  bool core;
  bool verifier;
};

std::vector<TopLevel> TopLevels() {
  fx::SignatureSpec coreGin;
  coreGin.ginEmbeddedSeal = true;
  return {
      {"SESeal", fx::MakeSeal(Family::kPlain), true, true},
      {"GIN_SESeal", fx::MakeSeal(Family::kGin), true, true},
      {"GOV_SESeal", fx::MakeSeal(Family::kGov), true, true},
      {"SESSignature", fx::MakeSignature(Family::kPlain), true, true},
      {"GIN_SESSignature", fx::MakeSignature(Family::kGin), false, true},
      {"GIN_SESSignature", fx::MakeSignature(Family::kGin, coreGin), true,
       false},
      {"GOV_SESSignature", fx::MakeSignature(Family::kGov), true, true},
  };
}

std::vector<const Codec*> CodecsFor(const TopLevel& t) {
  std::vector<const Codec*> out;
  if (t.core) out.push_back(&CoreCodecs().at(t.structure));
  if (t.verifier) out.push_back(&VerifierCodecs().at(t.structure));
  return out;
}

// Same element, outer length in the long form with extra leading zero
// octets: valid BER, not DER.
Bytes WithPaddedOuterLength(const Bytes& der) {
  size_t header = 0;
  size_t total = TlvSize(der.data(), der.size(), &header);
  size_t content = total - header;
  Bytes out{der[0], 0x84};
  for (int i = 3; i >= 0; --i)
    out.push_back(static_cast<uint8_t>(content >> (8 * i)));
  out.insert(out.end(), der.begin() + header, der.end());
  return out;
}

// Same element with the outer SEQUENCE in indefinite-length form.
Bytes WithIndefiniteOuterLength(const Bytes& der) {
  size_t header = 0;
  TlvSize(der.data(), der.size(), &header);
  Bytes out{der[0], 0x80};
  out.insert(out.end(), der.begin() + header, der.end());
  out.insert(out.end(), {0x00, 0x00});
  return out;
}

TEST(FormatsNegative, TopLevelTable) {
  enum Expect { kRejected, kSameBytes, kDerForm };
  for (const TopLevel& t : TopLevels()) {
    Bytes wrongTag = t.der;
    wrongTag[0] = 0x31;  // SET instead of SEQUENCE
    Bytes trailing = fx::Concat({t.der, {0x00, 0x30, 0xFF}});
    struct Row {
      const char* label;
      Bytes input;
      Expect expect;
    } rows[] = {
        {"empty", {}, kRejected},
        {"only the tag", {t.der[0]}, kRejected},
        {"last byte missing", Bytes(t.der.begin(), t.der.end() - 1), kRejected},
        {"wrong outer tag", wrongTag, kRejected},
        {"trailing bytes ignored", trailing, kSameBytes},
        {"long-form length with zero padding", WithPaddedOuterLength(t.der),
         kDerForm},
        {"indefinite outer length", WithIndefiniteOuterLength(t.der), kDerForm},
    };
    for (const Codec* codec : CodecsFor(t)) {
      for (const Row& row : rows) {
        SCOPED_TRACE(std::string(t.structure) + " (" +
                     (t.core ? "core" : "verifier") + "): " + row.label);
        Bytes out;
        size_t consumed = 0;
        bool ok = codec->run(row.input, &out, &consumed);
        if (row.expect == kRejected) {
          EXPECT_FALSE(ok);
          continue;
        }
        ASSERT_TRUE(ok);
        EXPECT_EQ(out, t.der);  // re-encoding yields the DER form
        if (row.expect == kSameBytes) {
          EXPECT_EQ(consumed, t.der.size());
        }
      }
    }
  }
}

TEST(FormatsNegative, EveryTruncationIsRejected) {
  for (const TopLevel& t : TopLevels()) {
    for (const Codec* codec : CodecsFor(t)) {
      for (size_t len = 0; len < t.der.size(); ++len) {
        Bytes cut(t.der.begin(), t.der.begin() + len);
        Bytes out;
        size_t consumed = 0;
        ASSERT_FALSE(codec->run(cut, &out, &consumed))
            << t.structure << " cut to " << len << " bytes";
      }
    }
  }
}

TEST(FormatsNegative, NegativeOrZeroLengthLimitIsRejected) {
  Bytes seal = fx::MakeSeal(Family::kPlain);
  for (long len : {0L, -1L, static_cast<long>(seal.size()) - 1}) {
    const unsigned char* p = seal.data();
    EXPECT_EQ(d2i_SESeal(nullptr, &p, len), nullptr) << len;
    EXPECT_EQ(p, seal.data());
  }
}

// Decoding into an existing record replaces it, as the d2i convention has it.
TEST(FormatsNegative, DecodeReusesTheCallersRecordPointer) {
  Bytes seal = fx::MakeSeal(Family::kGov);
  GOV_SESeal_t* record = GOV_SESeal_new();
  ASSERT_NE(record, nullptr);
  const unsigned char* p = seal.data();
  GOV_SESeal_t* result =
      d2i_GOV_SESeal(&record, &p, static_cast<long>(seal.size()));
  EXPECT_EQ(result, record);
  EXPECT_EQ(p, seal.data() + seal.size());
  // i2d with a null output only measures; with a buffer it writes and
  // advances the pointer.
  int len = i2d_GOV_SESeal(record, nullptr);
  ASSERT_EQ(len, static_cast<int>(seal.size()));
  Bytes buffer(static_cast<size_t>(len));
  unsigned char* w = buffer.data();
  EXPECT_EQ(i2d_GOV_SESeal(record, &w), len);
  EXPECT_EQ(w, buffer.data() + len);
  EXPECT_EQ(buffer, seal);
  GOV_SESeal_free(record);
  GOV_SESeal_free(nullptr);
}

// A record that lacks a mandatory value does not encode, rather than
// encoding without it.
TEST(FormatsNegative, IncompleteRecordsDoNotEncode) {
  Bytes der;
  kx::der::Ptr<SESeal_t> fresh = kx::der::New<SESeal_t>();
  ASSERT_TRUE(fresh);
  EXPECT_LE(i2d_SESeal(fresh.get(), nullptr), 0);  // OIDs still undefined
  EXPECT_FALSE(kx::der::Encode(fresh.get(), &der));

  kx::der::Ptr<SESCertList_t> choice = kx::der::New<SESCertList_t>();
  ASSERT_TRUE(choice);
  EXPECT_EQ(choice->type, -1);
  EXPECT_LE(i2d_SESCertList(choice.get(), nullptr), 0);

  auto gov = kx::der::Decode<GOV_SESeal_t>(fx::MakeSeal(Family::kGov));
  ASSERT_TRUE(gov);
  SESCertList_t* list = gov->esealInfo->propertys->certList;
  int selector = list->type;
  list->type = -1;  // unset CHOICE inside the seal
  EXPECT_LE(i2d_GOV_SESeal(gov.get(), nullptr), 0);
  EXPECT_FALSE(kx::der::Encode(gov.get(), &der));
  list->type = selector;
  ASN1_INTEGER_free(gov->esealInfo->header->version);
  gov->esealInfo->header->version = nullptr;  // missing mandatory field
  EXPECT_LE(i2d_GOV_SESeal(gov.get(), nullptr), 0);
  EXPECT_FALSE(kx::der::Encode(gov.get(), &der));
}

// Seals whose content breaks their family's layout.
TEST(FormatsNegative, FamilyLayoutViolations) {
  fx::SealSpec generalizedPlain;
  generalizedPlain.utcTimes = false;
  fx::SealSpec utcDates;
  utcDates.utcTimes = true;
  fx::SealSpec digestList;
  digestList.govCertDigests =
      std::vector<fx::CertDigestSpec>{{"SM3", Bytes(32, 1)}};
  fx::SealSpec emptyCertList;
  emptyCertList.ownerCerts = std::vector<Bytes>{};

  struct Row {
    const char* label;
    const char* structure;
    Bytes der;
    bool decodes;
  } rows[] = {
      {"plain seal with GeneralizedTime dates", "SESeal",
       fx::MakeSeal(Family::kPlain, generalizedPlain), false},
      {"GIN seal with UTCTime dates", "GIN_SESeal",
       fx::MakeSeal(Family::kGin, utcDates), false},
      {"GOV seal with UTCTime dates", "GOV_SESeal",
       fx::MakeSeal(Family::kGov, utcDates), false},
      {"GOV seal listing CertDigstObj elements", "GOV_SESeal",
       fx::MakeSeal(Family::kGov, digestList), false},
      {"GOV certificate list of CertDigstObj alone", "SESCertList",
       ChildAt(fx::MakeSeal(Family::kGov, digestList), {0, 2, 3}), false},
      {"GOV seal with an empty certificate list", "GOV_SESeal",
       fx::MakeSeal(Family::kGov, emptyCertList), true},
      {"plain seal with an empty certificate list", "SESeal",
       fx::MakeSeal(Family::kPlain, emptyCertList), true},
      {"plain seal certList holding an INTEGER", "SESESPropertyInfo",
       fx::asn::Seq({fx::asn::Integer(1), fx::asn::Utf8("n"),
                     fx::asn::Seq({fx::asn::Octets({1}), fx::asn::Integer(2)}),
                     fx::asn::UtcTime(0), fx::asn::UtcTime(0),
                     fx::asn::UtcTime(0)}),
       false},
      {"GIN signature with an embedded seal, verifier copy", "GIN_SESSignature",
       [] {
         fx::SignatureSpec s;
         s.ginEmbeddedSeal = true;
         return fx::MakeSignature(Family::kGin, s);
       }(),
       false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    const auto& codecs = std::string(row.structure) == "GIN_SESSignature"
                             ? VerifierCodecs()
                             : CoreCodecs();
    Bytes out;
    size_t consumed = 0;
    EXPECT_EQ(codecs.at(row.structure).run(row.der, &out, &consumed),
              row.decodes);
  }
  // And the other way: the verifier's OCTET STRING layout is not a GIN
  // signature for libsealcore's descriptor.
  Bytes out;
  size_t consumed = 0;
  EXPECT_FALSE(CoreCodecs()
                   .at("GIN_SESSignature")
                   .run(fx::MakeSignature(Family::kGin), &out, &consumed));
}

// An extension whose critical flag is written out as FALSE (a BER form; DER
// leaves the default out) is accepted in every family and kept as written.
TEST(FormatsNegative, ExplicitCriticalFalseIsAcceptedAndKept) {
  for (Family f : {Family::kPlain, Family::kGin, Family::kGov}) {
    fx::SealSpec params;
    params.extDatas = std::vector<fx::ExtensionSpec>{{"1.2.3", false, {5}}};
    Bytes seal = fx::MakeSeal(f, params);
    const char* name = f == Family::kPlain ? "SESeal"
                       : f == Family::kGin ? "GIN_SESeal"
                                           : "GOV_SESeal";
    Bytes out;
    size_t consumed = 0;
    ASSERT_TRUE(CoreCodecs().at(name).run(seal, &out, &consumed)) << name;
    EXPECT_EQ(out, seal) << name;
  }
}

// A constructed (segmented) OCTET STRING is BER; it is accepted and comes
// back as the primitive DER form, which is what the maker signed.
TEST(FormatsNegative, ConstructedOctetStringComesBackAsDer) {
  Bytes seal = fx::MakeSeal(Family::kGov);
  Bytes cert = fx::DefaultMaker().certDer;
  Bytes segmented = fx::asn::Tlv(
      0x24,
      fx::Concat({fx::asn::Octets(Bytes(cert.begin(), cert.begin() + 10)),
                  fx::asn::Octets(Bytes(cert.begin() + 10, cert.end()))}));
  Bytes ber = fx::asn::Seq(
      {ChildAt(seal, {0}), segmented, ChildAt(seal, {2}), ChildAt(seal, {3})});
  Bytes out;
  size_t consumed = 0;
  ASSERT_TRUE(CoreCodecs().at("GOV_SESeal").run(ber, &out, &consumed));
  EXPECT_EQ(out, seal);
}

}  // namespace
}  // namespace formats_test
