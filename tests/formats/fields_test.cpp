// Each decoded value lands in the record field of its name. A round trip
// cannot show this (two fields of one type swapped in a template still
// re-encode the same), so every field gets a distinct value here.
#include <gtest/gtest.h>
#include <openssl/objects.h>

#include "codecs.h"

namespace formats_test {
namespace {

using fx::Family;

std::string Text(const ASN1_STRING* s) {
  if (s == nullptr) return "<null>";
  return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                     static_cast<size_t>(ASN1_STRING_length(s)));
}
Bytes Data(const ASN1_STRING* s) {
  if (s == nullptr) return {};
  const uint8_t* p = ASN1_STRING_get0_data(s);
  return Bytes(p, p + ASN1_STRING_length(s));
}
long Long(const ASN1_INTEGER* i) { return ASN1_INTEGER_get(i); }
std::string OidText(const ASN1_OBJECT* o) {
  char text[128] = "";
  OBJ_obj2txt(text, sizeof text, o, 1);
  return text;
}

const time_t kCreated = 1700000000;  // 2023-11-14 22:13:20 UTC
const time_t kStart = 1700086400;
const time_t kEnd = 1731622400;

fx::SealSpec DistinctSeal() {
  fx::SealSpec s;
  s.sID = "ES-ID";
  s.version = 2;
  s.sVid = "VENDOR";
  s.esID = "SEAL-0042";
  s.type = 7;
  s.name = "合同专用章";
  s.ownerCerts =
      std::vector<Bytes>{fx::ToBytes("owner-1"), fx::ToBytes("owner-2")};
  s.ginCertDigests =
      std::vector<fx::CertDigestSpec>{{fx::kOidSm3, Bytes(32, 0x33)}};
  s.ginCertListExt = fx::ToBytes("list-ext");
  s.govCertListType = 9;
  s.createDate = kCreated;
  s.validStart = kStart;
  s.validEnd = kEnd;
  s.pictureType = "OFD";
  s.pictureData = fx::ToBytes("picture-bytes");
  s.width = 41;
  s.height = 43;
  s.extDatas = std::vector<fx::ExtensionSpec>{{"1.2.3.4", true, {0x05}}};
  s.signData = fx::ToBytes("maker-signature");
  return s;
}

template <class Info>
void ExpectCommonInfo(const Info* info, const char* utc, const char* created,
                      const char* start, const char* end) {
  EXPECT_EQ(Text(info->header->sID), "ES-ID");
  EXPECT_EQ(Long(info->header->version), 2);
  EXPECT_EQ(Text(info->header->sVid), "VENDOR");
  EXPECT_EQ(Text(info->esID), "SEAL-0042");
  EXPECT_EQ(Long(info->propertys->type), 7);
  EXPECT_EQ(Text(info->propertys->name), "合同专用章");
  EXPECT_EQ(Text(info->propertys->createDate), created) << utc;
  EXPECT_EQ(Text(info->propertys->validStart), start);
  EXPECT_EQ(Text(info->propertys->validEnd), end);
  EXPECT_EQ(Text(info->picture->type), "OFD");
  EXPECT_EQ(Text(info->picture->data), "picture-bytes");
  EXPECT_EQ(Long(info->picture->width), 41);
  EXPECT_EQ(Long(info->picture->height), 43);
  ASSERT_EQ(sk_X509_EXTENSION_num(info->extDatas), 1);
  const X509_EXTENSION* ext = sk_X509_EXTENSION_value(info->extDatas, 0);
  EXPECT_EQ(
      OidText(X509_EXTENSION_get_object(const_cast<X509_EXTENSION*>(ext))),
      "1.2.3.4");
  EXPECT_EQ(X509_EXTENSION_get_critical(ext), 1);
}

TEST(FormatsFields, PlainSeal) {
  auto seal =
      kx::der::Decode<SESeal_t>(fx::MakeSeal(Family::kPlain, DistinctSeal()));
  ASSERT_TRUE(seal);
  ExpectCommonInfo(seal->esealInfo, "utc", "231114221320Z", "231115221320Z",
                   "241114221320Z");
  STACK_OF(ASN1_OCTET_STRING)* certs = seal->esealInfo->propertys->certList;
  ASSERT_EQ(sk_ASN1_OCTET_STRING_num(certs), 2);
  EXPECT_EQ(Text(sk_ASN1_OCTET_STRING_value(certs, 0)), "owner-1");
  EXPECT_EQ(Text(sk_ASN1_OCTET_STRING_value(certs, 1)), "owner-2");
  EXPECT_EQ(Data(seal->signInfo->cert), fx::DefaultMaker().certDer);
  EXPECT_EQ(OidText(seal->signInfo->signatureAlgorithm), fx::kOidSm2WithSm3);
  EXPECT_EQ(Text(seal->signInfo->signData), "maker-signature");
}

TEST(FormatsFields, GinSeal) {
  auto seal =
      kx::der::Decode<GIN_SESeal_t>(fx::MakeSeal(Family::kGin, DistinctSeal()));
  ASSERT_TRUE(seal);
  const GIN_SESSealInfo_t* info = seal->esealInfo;
  ExpectCommonInfo(info, "generalized", "20231114221320Z", "20231115221320Z",
                   "20241114221320Z");
  const GIN_CertList_t* list = info->propertys->certList;
  ASSERT_EQ(sk_GIN_CertDigest_t_num(list->certDigest), 1);
  const GIN_CertDigest_t* digest =
      sk_GIN_CertDigest_t_value(list->certDigest, 0);
  EXPECT_EQ(OidText(digest->algorithm), fx::kOidSm3);
  EXPECT_EQ(Data(digest->digestMessage), Bytes(32, 0x33));
  EXPECT_EQ(Text(list->extDatas), "list-ext");
  EXPECT_EQ(Data(info->cert), fx::DefaultMaker().certDer);
  EXPECT_EQ(OidText(info->signatureAlgorithm), fx::kOidSm2WithSm3);
  EXPECT_EQ(Text(seal->signData), "maker-signature");
}

TEST(FormatsFields, GovSeal) {
  auto seal =
      kx::der::Decode<GOV_SESeal_t>(fx::MakeSeal(Family::kGov, DistinctSeal()));
  ASSERT_TRUE(seal);
  const GOV_SESSealInfo_t* info = seal->esealInfo;
  ExpectCommonInfo(info, "generalized", "20231114221320Z", "20231115221320Z",
                   "20241114221320Z");
  EXPECT_EQ(Long(info->propertys->certListType), 9);
  const SESCertList_t* list = info->propertys->certList;
  ASSERT_EQ(list->type, 0);
  ASSERT_EQ(sk_ASN1_OCTET_STRING_num(list->d.certs), 2);
  EXPECT_EQ(Text(sk_ASN1_OCTET_STRING_value(list->d.certs, 1)), "owner-2");
  EXPECT_EQ(Data(seal->cert), fx::DefaultMaker().certDer);
  EXPECT_EQ(OidText(seal->signatureAlgorithm), fx::kOidSm2WithSm3);
  EXPECT_EQ(Text(seal->signData), "maker-signature");
}

fx::SignatureSpec DistinctSignature(Family family) {
  fx::SignatureSpec s;
  s.version = 5;
  if (family == Family::kGin) s.version = 3;
  if (family == Family::kGov) s.version = 4;
  s.signTime = kCreated;
  s.timeText = "2023-11-14 22:13:20";
  s.dataHash = fx::ToBytes("document-digest");
  s.propertyInfo = "<p><esignId>7</esignId></p>";
  s.verfyResult =
      fx::ResultDataSpec{fx::ToBytes("cert-ok"), fx::ToBytes("stamp-ok")};
  s.extDatas =
      std::vector<fx::ExtensionSpec>{{"1.2.3.5", std::nullopt, {0x06}}};
  s.cert = fx::ToBytes("signer-cert");
  s.signatureAlgorithm = fx::kOidRsaWithSha256;
  s.signature = fx::ToBytes("signer-signature");
  return s;
}

TEST(FormatsFields, PlainSignature) {
  fx::SignatureSpec params = DistinctSignature(Family::kPlain);
  Bytes seal = fx::MakeSeal(Family::kPlain);
  params.seal = seal;
  auto sig =
      kx::der::Decode<SESSignature_t>(fx::MakeSignature(Family::kPlain, params));
  ASSERT_TRUE(sig);
  const TBS_Sign_t* tbs = sig->tbsSign;
  EXPECT_EQ(Long(tbs->version), 5);
  Bytes sealAgain;
  ASSERT_TRUE(kx::der::Encode(tbs->eseal, &sealAgain));
  EXPECT_EQ(sealAgain, seal);
  EXPECT_EQ(Text(tbs->timeInfo), "2023-11-14 22:13:20");
  EXPECT_EQ(Text(tbs->dataHash), "document-digest");
  EXPECT_EQ(Text(tbs->propertyInfo), "<p><esignId>7</esignId></p>");
  EXPECT_EQ(Text(tbs->cert), "signer-cert");
  EXPECT_EQ(OidText(tbs->signatureAlgorithm), fx::kOidRsaWithSha256);
  EXPECT_EQ(Text(sig->signature), "signer-signature");
}

TEST(FormatsFields, GinSignatureInBothLayouts) {
  fx::SignatureSpec params = DistinctSignature(Family::kGin);
  Bytes seal = fx::MakeSeal(Family::kGin);
  params.seal = seal;
  auto sig = kx::der::Decode<kxsv::GIN_SESSignature_t>(
      fx::MakeSignature(Family::kGin, params));
  ASSERT_TRUE(sig);
  const kxsv::GIN_TBS_Sign_t* tbs = sig->tbsSign;
  EXPECT_EQ(Long(tbs->version), 3);
  EXPECT_EQ(Data(tbs->eseal), seal);
  EXPECT_EQ(Text(tbs->timeInfo), "2023-11-14 22:13:20");
  EXPECT_EQ(Text(tbs->dataHash), "document-digest");
  EXPECT_EQ(Text(tbs->propertyInfo), "<p><esignId>7</esignId></p>");
  ASSERT_NE(tbs->verfyResult, nullptr);
  EXPECT_EQ(Text(tbs->verfyResult->certVerify), "cert-ok");
  EXPECT_EQ(Text(tbs->verfyResult->stamptVerify), "stamp-ok");
  EXPECT_EQ(Text(tbs->cert), "signer-cert");
  EXPECT_EQ(OidText(tbs->signatureAlgorithm), fx::kOidRsaWithSha256);
  EXPECT_EQ(Text(sig->signature), "signer-signature");

  params.ginEmbeddedSeal = true;
  auto core = kx::der::Decode<GIN_SESSignature_t>(
      fx::MakeSignature(Family::kGin, params));
  ASSERT_TRUE(core);
  Bytes sealAgain;
  ASSERT_TRUE(kx::der::Encode(core->tbsSign->eseal, &sealAgain));
  EXPECT_EQ(sealAgain, seal);
  EXPECT_EQ(Text(core->tbsSign->timeInfo), "2023-11-14 22:13:20");
  EXPECT_EQ(Text(core->tbsSign->dataHash), "document-digest");
  EXPECT_EQ(Text(core->tbsSign->verfyResult->stamptVerify), "stamp-ok");
  EXPECT_EQ(Text(core->tbsSign->cert), "signer-cert");
}

TEST(FormatsFields, GovSignature) {
  fx::SignatureSpec params = DistinctSignature(Family::kGov);
  params.timeText.reset();  // GOV: a GeneralizedTime of signTime
  params.timeStamp = std::vector<Bytes>{fx::ToBytes("stamp")};
  auto sig = kx::der::Decode<GOV_SESSignature_t>(
      fx::MakeSignature(Family::kGov, params));
  ASSERT_TRUE(sig);
  const GOV_TBS_Sign_t* tbs = sig->tbsSign;
  EXPECT_EQ(Long(tbs->version), 4);
  EXPECT_EQ(Text(tbs->timeInfo), "20231114221320Z");
  EXPECT_EQ(Text(tbs->dataHash), "document-digest");
  EXPECT_EQ(Text(tbs->propertyInfo), "<p><esignId>7</esignId></p>");
  ASSERT_EQ(sk_X509_EXTENSION_num(tbs->extDatas), 1);
  EXPECT_EQ(
      X509_EXTENSION_get_critical(sk_X509_EXTENSION_value(tbs->extDatas, 0)),
      0);
  EXPECT_EQ(Text(sig->cert), "signer-cert");
  EXPECT_EQ(OidText(sig->signatureAlgorithm), fx::kOidRsaWithSha256);
  EXPECT_EQ(Text(sig->signature), "signer-signature");
  EXPECT_EQ(Text(sk_ASN1_BIT_STRING_value(sig->timeStamp, 0)), "stamp");
}

}  // namespace
}  // namespace formats_test
