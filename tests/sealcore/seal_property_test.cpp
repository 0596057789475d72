// Seal properties by number: every flag of every family through the whole
// delivery protocol, the summary record and picture size layouts, owner
// certificate texts, and the failures with their codes and log lines. The
// expected values are built from the fixture's inputs and from OpenSSL, not
// from the library.
#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <string>

#include "SealProperty.h"
#include "fixtures.h"
#include "test_process.h"

namespace {

using fx::Bytes;
using fx::Family;

const time_t kCreated = 1700000000;     // 2023-11-14 22:13:20 UTC
const time_t kValidStart = 1704067200;  // 2024-01-01 00:00:00 UTC
const time_t kValidEnd = 1767225599;    // 2025-12-31 23:59:59 UTC

// Property numbers no family serves.
const unsigned int kUnservedEverywhere[] = {0,  1,  5,  14,  50,         52,
                                            58, 61, 62, 100, 0xFFFFFFFFu};

struct Result {
  unsigned int code;
  unsigned int length;
  Bytes bytes;
};

// One call with a buffer of `size` bytes (filled with 0xEE beforehand).
Result Get(unsigned int flag, const Bytes& seal, unsigned int size) {
  Bytes buffer(size + 1, 0xEE);
  unsigned int len = size;
  unsigned int rc = SE_GetESealProperty(flag, seal.data(),
                                        static_cast<unsigned int>(seal.size()),
                                        buffer.data(), &len);
  EXPECT_EQ(buffer[size], 0xEE) << "wrote past the buffer, flag " << flag;
  buffer.resize(size);
  return {rc, len, buffer};
}

// The property value through the size query and a fetch of exactly that size.
Result Fetch(unsigned int flag, const Bytes& seal) {
  unsigned int len = 0x5A5A;
  unsigned int rc = SE_GetESealProperty(
      flag, seal.data(), static_cast<unsigned int>(seal.size()), nullptr, &len);
  if (rc != 0) return {rc, len, {}};
  Result r = Get(flag, seal, len);
  EXPECT_EQ(r.length, len) << "flag " << flag;
  return r;
}

Bytes Text(const std::string& s) { return fx::ToBytes(s); }

std::string Str(const Bytes& b) { return std::string(b.begin(), b.end()); }

Bytes Le32Pair(uint32_t a, uint32_t b) {
  Bytes out;
  for (uint32_t v : {a, b})
    for (int i = 0; i < 4; ++i)
      out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return out;
}

// Local-time ASN.1 text of a certificate time, rendered here with the C
// library: YYMMDDhhmmssZ for 1950..2049, else YYYYMMDDhhmmssZ.
std::string LocalAsn1(const ASN1_TIME* t) {
  struct tm utc = {};
  EXPECT_EQ(1, ASN1_TIME_to_tm(t, &utc));
  time_t seconds = timegm(&utc);
  struct tm local = {};
  localtime_r(&seconds, &local);
  char buf[32];
  int year = local.tm_year + 1900;
  strftime(buf, sizeof buf,
           year >= 1950 && year <= 2049 ? "%y%m%d%H%M%SZ" : "%Y%m%d%H%M%SZ",
           &local);
  return buf;
}

// The description entry of one certificate made by the kit with `name`.
std::string Describe(const Bytes& der, const fx::Name& name) {
  const unsigned char* p = der.data();
  std::unique_ptr<X509, decltype(&X509_free)> cert(
      d2i_X509(nullptr, &p, static_cast<long>(der.size())), X509_free);
  EXPECT_TRUE(cert);
  const ASN1_INTEGER* serial = X509_get0_serialNumber(cert.get());
  std::string hex =
      fx::ToHex(Bytes(serial->data, serial->data + serial->length));
  for (char& c : hex) c = static_cast<char>(tolower(c));
  return "C=" + name.C + ",O=" + name.O + ",OU=" + name.OU + ",CN=" + name.CN +
         " " + hex + " " + LocalAsn1(X509_get0_notBefore(cert.get())) + "-" +
         LocalAsn1(X509_get0_notAfter(cert.get())) + ";";
}

std::string Hex(const Bytes& b) {
  std::string h = fx::ToHex(b);
  for (char& c : h) c = static_cast<char>(tolower(c));
  return h;
}

fx::SealSpec DatedSpec() {
  fx::SealSpec params;
  params.createDate = kCreated;
  params.validStart = kValidStart;
  params.validEnd = kValidEnd;
  params.width = 40;
  params.height = 30;
  params.pictureData = fx::PicturePattern(300);
  return params;
}

Bytes Summary(const std::string& esID, const Bytes& version,
              const std::string& start, const std::string& end,
              const std::string& word, const std::string& name) {
  Bytes r(1274, 0);
  auto put = [&r](size_t at, size_t width, const Bytes& v) {
    for (size_t i = 0; i < v.size() && i < width; ++i) r[at + i] = v[i];
  };
  put(0, 50, Text(esID));
  put(50, 50, version);
  put(100, 50, Text(start));
  put(150, 50, Text(end));
  put(200, 50, Text(word));
  put(250, 1024, Text(name));
  return r;
}

class SealProperty : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "CST-8", 1);
    tzset();
    fx::TestLog::Watch();
  }
  std::string Log() const { return fx::TestLog::Since(); }
  bool Logged(const std::string& line) const { return fx::TestLog::Has(line); }
  void ClearLog() { fx::TestLog::Watch(); }
};

// ---------------------------------------------------------------------------
// Every flag of every family

struct FamilyCase {
  Family family;
  Bytes version;
  std::string start;  // stored validStart text
  std::string end;
};

// Named by its family (gtest would otherwise print the record's bytes,
// padding included).
void PrintTo(const FamilyCase& c, std::ostream* os) {
  *os << fx::FamilyName(c.family);
}

class EveryFlag : public SealProperty,
                  public ::testing::WithParamInterface<FamilyCase> {};

TEST_P(EveryFlag, DeliversEachPropertyAndRefusesTheRest) {
  const FamilyCase& fc = GetParam();
  const fx::SealSpec params = DatedSpec();
  const Bytes seal = fx::MakeSeal(fc.family, params);
  const Bytes& owner = fx::DefaultSigner().certDer;
  const Bytes& maker = fx::DefaultMaker().certDer;
  const bool gin = fc.family == Family::kGin;

  std::map<unsigned int, Bytes> values = {
      {ES_ADMIN_CERT, maker},
      {ES_SEAL_VERSION, fc.version},
      {ES_SEAL_ID, Text(params.esID)},
      {ES_SEAL_NAME, Text(params.name)},
      {ES_CREATE_DATE, Text("2023-11-15 06:13:20")},
      {ES_VALID_START, Text("2024-01-01 08:00:00")},
      {ES_VALID_END, Text("2026-01-01 07:59:59")},
      {ES_SEAL_TYPE, {0x01}},
      {ES_SEAL_VID, Text(params.sVid)},
      {ES_ADMIN_CERT_CN, Text("印章制作")},
      {ES_SEAL_NAME_RAW, Text(params.name)},
      {ES_SEAL_INFO,
       Summary(params.esID, fc.version, fc.start, fc.end, "单位", params.name)},
      {ES_PIC_DATA, params.pictureData},
      {ES_PIC_SIZE, Le32Pair(40, 30)},
      {ES_PIC_TYPE, Text("PNG")},
  };
  if (!gin) {
    values[ES_OWNER_CERT_STR] = Text(Hex(owner));
    values[ES_OWNER_CERT_SUBJECT] = Text(Describe(owner, fx::Name()));
    values[ES_OWNER_CERT] = owner;
    values[ES_OWNER_CERT_OU] = Text(fx::Name().OU);
  } else {
    values[ES_OWNER_CERT_HASH] = fx::Sm3(owner);
  }
  // GOV: a certificate list (selector 0) has no digest to give.
  std::map<unsigned int, unsigned int> codes;
  if (fc.family == Family::kGov) codes[ES_OWNER_CERT_HASH] = 5032;

  for (unsigned int flag = 0; flag <= 70; ++flag) {
    SCOPED_TRACE("flag " + std::to_string(flag));
    auto v = values.find(flag);
    if (v == values.end()) {
      unsigned int code = codes.count(flag) ? codes[flag] : 5022u;
      Result r = Get(flag, seal, 2000);
      EXPECT_EQ(r.code, code);
      EXPECT_EQ(r.length, 2000u) << "length changed on failure";
      EXPECT_EQ(r.bytes, Bytes(2000, 0xEE)) << "buffer written on failure";
      unsigned int len = 7;
      EXPECT_EQ(code,
                SE_GetESealProperty(flag, seal.data(),
                                    static_cast<unsigned int>(seal.size()),
                                    nullptr, &len));
      EXPECT_EQ(len, 7u);
      continue;
    }
    const Bytes& expected = v->second;
    Result r = Fetch(flag, seal);
    ASSERT_EQ(r.code, 0u);
    EXPECT_EQ(r.bytes, expected) << Str(r.bytes);
    ASSERT_FALSE(expected.empty());
    Result shortBy1 =
        Get(flag, seal, static_cast<unsigned int>(expected.size() - 1));
    EXPECT_EQ(shortBy1.code, 5003u);
    EXPECT_EQ(shortBy1.length, expected.size());
    EXPECT_EQ(shortBy1.bytes, Bytes(expected.size() - 1, 0xEE));
    // A larger buffer receives the same bytes and the true length.
    Result roomy =
        Get(flag, seal, static_cast<unsigned int>(expected.size() + 9));
    EXPECT_EQ(roomy.code, 0u);
    EXPECT_EQ(roomy.length, expected.size());
    EXPECT_EQ(Bytes(roomy.bytes.begin(), roomy.bytes.begin() + expected.size()),
              expected);
    // The plain-C entry point gives the same.
    Bytes viaC(expected.size());
    unsigned int len = static_cast<unsigned int>(viaC.size());
    EXPECT_EQ(0u, SEBF_GetESealProperty(flag, seal.data(),
                                        static_cast<unsigned int>(seal.size()),
                                        viaC.data(), &len));
    EXPECT_EQ(viaC, expected);
  }
  for (unsigned int flag : kUnservedEverywhere)
    EXPECT_EQ(Get(flag, seal, 64).code, 5022u) << flag;
}

INSTANTIATE_TEST_SUITE_P(
    Families, EveryFlag,
    ::testing::Values(
        FamilyCase{Family::kPlain, {0x02}, "240101000000Z", "251231235959Z"},
        FamilyCase{Family::kGin, {0x03}, "20240101000000Z", "20251231235959Z"},
        FamilyCase{Family::kGov, {0x04}, "20240101000000Z", "20251231235959Z"}),
    [](const ::testing::TestParamInfo<FamilyCase>& info) {
      return std::string(fx::FamilyName(info.param.family));
    });

// ---------------------------------------------------------------------------
// Log lines and argument checks

TEST_F(SealProperty, RefusedFlagsLogTheirFamily) {
  struct Row {
    Family family;
    unsigned int flag;
    const char* line;
  } rows[] = {
      {Family::kPlain, 60,
       "SE_GetESealProperty-->5022 -- the flag is 60 error"},
      {Family::kGin, 22,
       "SE_GetESealProperty-->5022 -- the ginSeal flag is 22 error"},
      {Family::kGin, 55,
       "SE_GetESealProperty-->5022 -- the ginSeal flag is 55 error"},
      {Family::kGov, 61,
       "SE_GetESealProperty-->5022 -- the gov flag is 61 error"},
  };
  for (const Row& row : rows) {
    ClearLog();
    Bytes seal = fx::MakeSeal(row.family);
    EXPECT_EQ(Get(row.flag, seal, 10).code, 5022u);
    EXPECT_TRUE(Logged(row.line)) << row.line << "\n" << Log();
    EXPECT_TRUE(
        Logged("SE_GetESealProperty flag is " + std::to_string(row.flag)));
  }
}

TEST_F(SealProperty, ArgumentsAndUndecodableInput) {
  Bytes seal = fx::MakeSeal(Family::kGov);
  unsigned char buf[8] = {};
  unsigned int len = 8;
  EXPECT_EQ(5002u, SE_GetESealProperty(ES_SEAL_ID, nullptr, 10, buf, &len));
  EXPECT_EQ(5002u, SE_GetESealProperty(ES_SEAL_ID, seal.data(),
                                       static_cast<unsigned int>(seal.size()),
                                       buf, nullptr));
  EXPECT_TRUE(Logged("SE_GetESealProperty-->5002 -- arguments error"));
  EXPECT_TRUE(Logged("SE_GetESealProperty-->5002 -- pulDataLen is "));

  const Bytes junk[] = {{0x30},
                        {0x30, 0x03, 0x02, 0x01, 0x01},
                        Bytes(seal.begin(), seal.end() - 1)};
  for (const Bytes& in : junk) {
    Bytes buffer(16, 0xEE);
    len = 16;
    EXPECT_EQ(5023u, SE_GetESealProperty(ES_SEAL_ID, in.data(),
                                         static_cast<unsigned int>(in.size()),
                                         buffer.data(), &len));
    EXPECT_EQ(len, 16u);
    EXPECT_EQ(buffer, Bytes(16, 0xEE));
  }
  // An empty input decodes in no family.
  len = 16;
  EXPECT_EQ(5023u, SE_GetESealProperty(ES_SEAL_ID, buf, 0, buf, &len));
  EXPECT_EQ(len, 16u);
  EXPECT_TRUE(
      Logged("SE_GetESealProperty-->5023 -- SE_CheckSealVerson() error"));

  // Bytes after the seal are ignored; a buffer-too-small line is logged.
  Bytes trailing = seal;
  trailing.insert(trailing.end(), {0x00, 0x01, 0x02});
  EXPECT_EQ(Fetch(ES_SEAL_ID, trailing).bytes, Text("1101000000001"));
  EXPECT_EQ(Get(ES_SEAL_ID, seal, 3).code, 5003u);
  EXPECT_TRUE(
      Logged("SE_GetESealProperty-->5003 -- arguments buffer too small"));
}

TEST_F(SealProperty, GinMakerCommonNameIsTraced) {
  Bytes seal = fx::MakeSeal(Family::kGin);
  EXPECT_EQ(Fetch(ES_ADMIN_CERT_CN, seal).bytes, Text("印章制作"));
  EXPECT_TRUE(Logged("SE_GetESealProperty ES_ADMIN_CERT_CN\n"));
  EXPECT_TRUE(Logged("SE_GetESealProperty ES_ADMIN_CERT_CN is 印章制作"));
}

// A seal of one family whose header claims another is sent down the other
// family's decoder and fails there, whatever the flag.
// A plain seal whose header says 3 is sent to the GIN decoder and fails;
// one whose header says 4, as encoders in the field write, is read as plain
// once the GOV decoder has failed.
TEST_F(SealProperty, MisleadingHeaderVersionFailsEveryFlag) {
  fx::SealSpec four;
  four.version = 4;
  four.name = "四号章";
  Result name = Fetch(ES_SEAL_NAME, fx::MakeSeal(Family::kPlain, four));
  EXPECT_EQ(name.code, 0u);
  EXPECT_EQ(name.bytes, fx::ToBytes("四号章"));
  struct Row {
    int64_t version;
    const char* line;
  } rows[] = {{3, "SE_GetESealProperty-->5023 -- d2i_GIN_SESeal() error"}};
  for (const Row& row : rows) {
    fx::SealSpec params;
    params.version = row.version;
    Bytes seal = fx::MakeSeal(Family::kPlain, params);
    for (unsigned int flag = 0; flag <= 70; ++flag) {
      Result r = Get(flag, seal, 4000);
      EXPECT_EQ(r.code, 5023u) << flag;
      EXPECT_EQ(r.length, 4000u);
    }
    EXPECT_TRUE(Logged(row.line)) << row.line;
  }
}

// ---------------------------------------------------------------------------
// Owner certificates

TEST_F(SealProperty, OwnerSubjectsDescribeEveryGovCertificateInOrder) {
  const char* cns[] = {"甲", "Second Owner", "丙三"};
  std::vector<Bytes> ders;
  std::string all;
  for (const char* cn : cns) {
    fx::CertSpec cs;
    cs.subject.CN = cn;
    ders.push_back(fx::MakeCredential(cs, &fx::DefaultRoot()).certDer);
    all += Describe(ders.back(), cs.subject);
  }
  fx::SealSpec params;
  params.ownerCerts = ders;
  EXPECT_EQ(
      Str(Fetch(ES_OWNER_CERT_SUBJECT, fx::MakeSeal(Family::kGov, params)).bytes),
      all);
  // The plain family describes its first certificate only; other owner
  // flags read that first one too.
  Bytes plain = fx::MakeSeal(Family::kPlain, params);
  fx::Name first;
  first.CN = cns[0];
  EXPECT_EQ(Str(Fetch(ES_OWNER_CERT_SUBJECT, plain).bytes),
            Describe(ders[0], first));
  EXPECT_EQ(Fetch(ES_OWNER_CERT, plain).bytes, ders[0]);
  EXPECT_EQ(Fetch(ES_OWNER_CERT, fx::MakeSeal(Family::kGov, params)).bytes,
            ders[0]);
}

// A subject far longer than any fixed per-entry reservation is described
// whole.
TEST_F(SealProperty, LongSubjectIsNotCut) {
  fx::CertSpec cs;
  // 64 characters is each attribute's upper bound; three bytes each in UTF-8.
  std::string wide;
  for (int i = 0; i < 64; ++i) wide += "长";
  cs.subject.O = wide;
  cs.subject.OU = wide;
  cs.subject.CN = wide;
  fx::Credential owner = fx::MakeCredential(cs, &fx::DefaultRoot());
  fx::SealSpec params;
  params.ownerCerts = std::vector<Bytes>{owner.certDer, owner.certDer};
  std::string one = Describe(owner.certDer, cs.subject);
  ASSERT_GT(one.size(), 256u);
  EXPECT_EQ(
      Str(Fetch(ES_OWNER_CERT_SUBJECT, fx::MakeSeal(Family::kGov, params)).bytes),
      one + one);
  EXPECT_EQ(Str(Fetch(ES_OWNER_CERT_SUBJECT, fx::MakeSeal(Family::kPlain, params))
                    .bytes),
            one);
}

// An owner list without elements has no owner to read: 5032, logged, the
// caller's buffer untouched. The GOV description of nobody is empty text.
TEST_F(SealProperty, EmptyOwnerListsFindNoCertificate) {
  fx::SealSpec noCerts;
  noCerts.ownerCerts = std::vector<Bytes>{};
  fx::SealSpec noDigests;
  noDigests.ginCertDigests = std::vector<fx::CertDigestSpec>{};
  struct Row {
    Family family;
    const fx::SealSpec* params;
    unsigned int flag;
    const char* line;
  } rows[] = {
      {Family::kPlain, &noCerts, 21,
       "-->5032 --ES_OWNER_CERT_STR can not find cert"},
      {Family::kPlain, &noCerts, 22,
       "-->5032 --ES_NAME_CERT_SUBJECT can not find cert"},
      {Family::kPlain, &noCerts, 55,
       "-->5032 --ES_OWNER_CERT can not find cert"},
      {Family::kPlain, &noCerts, 57,
       "-->5032 --ES_NAME_CERT_OU can not find cert"},
      {Family::kGin, &noDigests, 60,
       "-->5032 --ES_OWNER_CERT_HASH ginSeal can not find cert hash"},
      {Family::kGov, &noCerts, 21,
       "-->5032 --ES_OWNER_CERT_STR govSeal can not find cert or cert hash"},
      {Family::kGov, &noCerts, 55,
       "-->5032 --ES_OWNER_CERT govSeal can not find cert"},
      {Family::kGov, &noCerts, 57,
       "-->5032 --ES_OWNER_CERT_OU govSeal can not find cert"},
      {Family::kGov, &noCerts, 60,
       "-->5032 --ES_OWNER_CERT_HASH govSeal can not find cert hash"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(fx::FamilyName(row.family)) + " flag " +
                 std::to_string(row.flag));
    Bytes seal = fx::MakeSeal(row.family, *row.params);
    Result r = Get(row.flag, seal, 3000);
    EXPECT_EQ(r.code, 5032u);
    EXPECT_EQ(r.length, 3000u);
    EXPECT_EQ(r.bytes, Bytes(3000, 0xEE));
    EXPECT_TRUE(Logged(row.line)) << Log();
  }
  Bytes gov = fx::MakeSeal(Family::kGov, noCerts);
  unsigned int len = 99;
  EXPECT_EQ(0u, SE_GetESealProperty(ES_OWNER_CERT_SUBJECT, gov.data(),
                                    static_cast<unsigned int>(gov.size()),
                                    nullptr, &len));
  EXPECT_EQ(len, 0u);
  Result r = Get(ES_OWNER_CERT_SUBJECT, gov, 5);
  EXPECT_EQ(r.code, 0u);
  EXPECT_EQ(r.length, 0u);
  EXPECT_EQ(r.bytes, Bytes(5, 0xEE));
}

// Certificates that are empty or not certificates: 5029 and 5010, with the
// line of the flag and family.
TEST_F(SealProperty, BadCertificatesInTheSeal) {
  fx::Credential emptyMaker = fx::DefaultMaker();
  emptyMaker.certDer.clear();
  fx::Credential junkMaker = fx::DefaultMaker();
  junkMaker.certDer = {0x30, 0x03, 0x02, 0x01, 0x05};
  struct Row {
    Family family;
    bool makerEmpty;  // else: junk
    const char* line;
  } makerRows[] = {
      {Family::kPlain, true,
       "-->5029 --ES_ADMIN_CERT_CN cert in property error"},
      {Family::kGin, true, "-->5029 --ginSeal admin cert CN in property error"},
      {Family::kGov, true,
       "-->5029 --ES_ADMIN_CERT_CN govSeal cert in property error"},
      {Family::kPlain, false,
       "-->5010 -- ES_ADMIN_CERT_CN KXStrToX509() error,invalid sign cert"},
      {Family::kGin, false,
       "-->5010 -- ginSeal admin cert CN KXStrToX509() error,invalid gin sign "
       "cert"},
      {Family::kGov, false,
       "-->5010 --ES_ADMIN_CERT_CN govSeal KXStrToX509() error,invalid sign "
       "cert"},
  };
  for (const Row& row : makerRows) {
    fx::SealSpec params;
    params.maker = row.makerEmpty ? emptyMaker : junkMaker;
    Bytes seal = fx::MakeSeal(row.family, params);
    Result r = Get(ES_ADMIN_CERT_CN, seal, 100);
    EXPECT_EQ(r.code, row.makerEmpty ? 5029u : 5010u) << row.line;
    EXPECT_EQ(r.bytes, Bytes(100, 0xEE));
    EXPECT_TRUE(Logged(row.line)) << row.line;
    // The raw certificate is still delivered as it is stored.
    EXPECT_EQ(Fetch(ES_ADMIN_CERT, seal).bytes, params.maker->certDer);
  }

  struct OwnerRow {
    Family family;
    unsigned int flag;
    bool empty;
    const char* line;
  } ownerRows[] = {
      {Family::kPlain, 57, true,
       "-->5029 -- ES_NAME_CERT_OU cert in property error"},
      {Family::kPlain, 57, false,
       "-->5010 -- ES_NAME_CERT_OU KXStrToX509() error,invalid sign cert"},
      {Family::kGov, 57, true,
       "-->5029 --ES_OWNER_CERT_OU govSeal cert in property error"},
      {Family::kGov, 57, false,
       "-->5010 --ES_OWNER_CERT_OU govSeal KXStrToX509() error,invalid sign "
       "cert"},
      {Family::kPlain, 22, true,
       "-->5029 --ES_NAME_CERT_SUBJECT certList in property error"},
      {Family::kPlain, 22, false,
       "-->5010 --ES_NAME_CERT_SUBJECT KXStrToX509() error,invalid sign cert"},
      {Family::kGov, 22, true,
       "-->5029 --ES_OWNER_CERT_SUBJECT govSeal certList in property error"},
      {Family::kGov, 22, false,
       "-->5010 --ES_OWNER_CERT_SUBJECT govSeal KXStrToX509() error,invalid "
       "sign "
       "cert"},
  };
  for (const OwnerRow& row : ownerRows) {
    fx::SealSpec params;
    Bytes bad = row.empty ? Bytes() : Bytes{'n', 'o', 't', ' ', 'a', ' ', 'c'};
    // GOV flag 22 walks the whole list: the bad certificate comes second.
    params.ownerCerts = std::vector<Bytes>{fx::DefaultSigner().certDer, bad};
    if (row.flag == 57 || row.family == Family::kPlain)
      params.ownerCerts = std::vector<Bytes>{bad};
    Bytes seal = fx::MakeSeal(row.family, params);
    Result r = Get(row.flag, seal, 100);
    EXPECT_EQ(r.code, row.empty ? 5029u : 5010u) << row.line;
    EXPECT_EQ(r.bytes, Bytes(100, 0xEE));
    EXPECT_TRUE(Logged(row.line)) << row.line;
    // Hex text of an empty certificate is empty text, not a failure.
    if (row.empty) {
      unsigned int len = 9;
      EXPECT_EQ(0u, SE_GetESealProperty(ES_OWNER_CERT_STR, seal.data(),
                                        static_cast<unsigned int>(seal.size()),
                                        nullptr, &len));
      EXPECT_EQ(len, row.family == Family::kGov && row.flag == 22
                         ? fx::DefaultSigner().certDer.size() * 2
                         : 0u);
    }
  }
}

// ---------------------------------------------------------------------------
// Times

TEST_F(SealProperty, TimeTextsAndTheirFailures) {
  struct Row {
    Family family;
    unsigned int flag;
    const char* stored;  // verbatim content of the field
    const char* text;    // expected text, or null for 5039
    const char* line;
  } rows[] = {
      {Family::kPlain, 10, "991231160000Z", "2000-01-01 00:00:00", nullptr},
      {Family::kGov, 11, "20491231160000Z", "2050-01-01 00:00:00", nullptr},
      {Family::kGin, 12, "20240229235959Z", "2024-03-01 07:59:59", nullptr},
      {Family::kPlain, 10, "9912311600", nullptr,
       "-->5039 -- KXASN1ToTime() creat date error"},
      {Family::kPlain, 11, "XX1231160000Z", nullptr,
       "-->5039 -- KXASN1ToTime() start time error"},
      {Family::kPlain, 12, "", nullptr,
       "-->5039 -- KXASN1ToTime() end time error"},
      {Family::kGin, 10, "2024", nullptr,
       "-->5039 -- KXASN1ToTime() ginSeal creat date error"},
      {Family::kGin, 11, "abcdefghijklmnZ", nullptr,
       "-->5039 -- KXASN1ToTime() ginSeal start time error"},
      {Family::kGin, 12, "2", nullptr,
       "-->5039 -- KXASN1ToTime() ginSeal end time error"},
      {Family::kGov, 10, "x", nullptr,
       "-->5039 --KXASN1ToTime() govSeal creat date error"},
      {Family::kGov, 11, "20241301", nullptr,
       "-->5039 --KXASN1ToTime() govSeal start time error"},
      {Family::kGov, 12, "?", nullptr,
       "-->5039 --KXASN1ToTime() govSeal end time error"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(fx::FamilyName(row.family)) + " " + row.stored);
    fx::SealSpec params;
    std::optional<std::string>* field = row.flag == 10   ? &params.createDateText
                                        : row.flag == 11 ? &params.validStartText
                                                         : &params.validEndText;
    *field = row.stored;
    Bytes seal = fx::MakeSeal(row.family, params);
    if (row.text != nullptr) {
      EXPECT_EQ(Str(Fetch(row.flag, seal).bytes), row.text);
      continue;
    }
    Result r = Get(row.flag, seal, 100);
    EXPECT_EQ(r.code, 5039u);
    EXPECT_EQ(r.bytes, Bytes(100, 0xEE));
    EXPECT_TRUE(Logged(row.line)) << row.line;
  }
}

// ---------------------------------------------------------------------------
// Summary record and picture size

// The type word follows the INTEGER's value; flag 13 gives the INTEGER's
// content octets (a positive value without leading zero octets).
TEST_F(SealProperty, SummaryTypeWordReadsTheIntegerValue) {
  struct Row {
    int64_t type;
    Bytes content;  // verbatim INTEGER content when not empty
    const char* word;
    Bytes octets;  // flag 13
  } rows[] = {
      {1, {}, "单位", {0x01}},
      {2, {}, "个人", {0x02}},
      {3, {}, "印章", {0x03}},
      {-1, {}, "印章", {0xFF}},
      {-129, {}, "印章", {0xFF, 0x7F}},
      {128, {}, "印章", {0x80}},
      {257, {}, "印章", {0x01, 0x01}},
      {0, {0x31}, "印章", {0x31}},  // the digit "1" is 49
      {0, {0x32}, "印章", {0x32}},
      {0,
       {0x01, 0, 0, 0, 0, 0, 0, 0, 1},
       "印章",
       {0x01, 0, 0, 0, 0, 0, 0, 0, 1}},
      {0,
       {0x80, 0, 0, 0, 0, 0, 0, 0, 1},
       "印章",
       {0x80, 0, 0, 0, 0, 0, 0, 0, 1}},
  };
  for (Family family : {Family::kPlain, Family::kGin, Family::kGov}) {
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(fx::FamilyName(family)) + " " +
                   fx::ToHex(fx::asn::Integer(row.type)));
      fx::SealSpec params;
      params.type = row.type;
      params.typeContent = row.content;
      Bytes seal = fx::MakeSeal(family, params);
      Result r = Fetch(ES_SEAL_INFO, seal);
      ASSERT_EQ(r.code, 0u);
      ASSERT_EQ(r.bytes.size(), 1274u);
      Bytes word(r.bytes.begin() + 200, r.bytes.begin() + 250);
      Bytes expected = Text(row.word);
      expected.resize(50, 0);
      EXPECT_EQ(word, expected);
      EXPECT_EQ(Fetch(ES_SEAL_TYPE, seal).bytes, row.octets);
    }
  }
  // The version field of the record holds the version's octets too.
  fx::SealSpec params;
  params.versionContent = {0x80, 0x01};  // negative: not GIN or GOV, plain
  Bytes seal = fx::MakeSeal(Family::kPlain, params);
  EXPECT_EQ(Fetch(ES_SEAL_VERSION, seal).bytes, params.versionContent);
  Bytes record = Fetch(ES_SEAL_INFO, seal).bytes;
  ASSERT_EQ(record.size(), 1274u);
  EXPECT_EQ(Bytes(record.begin() + 50, record.begin() + 53),
            (Bytes{0x80, 0x01, 0x00}));
}

// Sources longer than their field are cut at the field's width; nothing
// spills into the next field, and the record stays 1274 bytes.
TEST_F(SealProperty, SummaryCutsLongFieldsToTheirWidth) {
  for (Family family : {Family::kPlain, Family::kGin, Family::kGov}) {
    fx::SealSpec params;
    params.esID = std::string(80, 'I');
    params.versionContent = Bytes(60, 0x07);
    params.sVid = "V";
    if (family == Family::kPlain) {
      params.version.reset();
    }
    std::string name;
    while (name.size() < 1100) name += "印";  // 3 bytes each, 1101 in all
    params.name = name;
    std::string longTime =
        "20240101000000.123456789012345678901234567890123456789Z";
    params.validStartText = longTime;
    params.validEndText = longTime;
    params.utcTimes = false;
    if (family == Family::kPlain) {
      // A plain seal keeps UTCTime; its text is within the width.
      params.utcTimes.reset();
      params.validStartText = "240101000000Z";
      params.validEndText = "240101000000Z";
    }
    // The GIN and GOV families are told by their layout, not the version.
    Bytes seal = fx::MakeSeal(family, params);
    Result r = Fetch(ES_SEAL_INFO, seal);
    ASSERT_EQ(r.code, 0u) << fx::FamilyName(family);
    ASSERT_EQ(r.bytes.size(), 1274u);
    const std::string start =
        family == Family::kPlain ? "240101000000Z" : longTime;
    EXPECT_EQ(r.bytes, Summary(params.esID, params.versionContent, start, start,
                               "单位", name))
        << fx::FamilyName(family);
    EXPECT_EQ(Str(Bytes(r.bytes.begin(), r.bytes.begin() + 50)),
              std::string(50, 'I'));
    EXPECT_EQ(r.bytes[250 + 1023], static_cast<uint8_t>(Text(name)[1023]));
  }
}

TEST_F(SealProperty, PictureSizeLayout) {
  struct Row {
    int64_t width, height;
    Bytes bytes;
  } rows[] = {
      {40, 30, {0x28, 0, 0, 0, 0x1E, 0, 0, 0}},
      {0, 65536, {0, 0, 0, 0, 0, 0, 1, 0}},
      {-1, -2, {0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF}},
      {0x123456789,
       0x7FFFFFFF,
       {0x89, 0x67, 0x45, 0x23, 0xFF, 0xFF, 0xFF, 0x7F}},
  };
  for (Family family : {Family::kPlain, Family::kGin, Family::kGov}) {
    for (const Row& row : rows) {
      fx::SealSpec params;
      params.width = row.width;
      params.height = row.height;
      EXPECT_EQ(Fetch(ES_PIC_SIZE, fx::MakeSeal(family, params)).bytes, row.bytes)
          << fx::FamilyName(family) << " " << row.width;
    }
  }
}

TEST_F(SealProperty, EmptyFieldsAreEmptyResults) {
  fx::SealSpec params;
  params.esID = "";
  params.name = "";
  params.sVid = "";
  for (Family family : {Family::kPlain, Family::kGin, Family::kGov}) {
    Bytes seal = fx::MakeSeal(family, params);
    for (unsigned int flag :
         {ES_SEAL_ID, ES_SEAL_NAME, ES_SEAL_NAME_RAW, ES_SEAL_VID}) {
      unsigned int len = 77;
      EXPECT_EQ(0u, SE_GetESealProperty(flag, seal.data(),
                                        static_cast<unsigned int>(seal.size()),
                                        nullptr, &len));
      EXPECT_EQ(len, 0u) << flag;
      Result r = Get(flag, seal, 0);
      EXPECT_EQ(r.code, 0u);
      EXPECT_EQ(r.length, 0u);
    }
    Result r = Fetch(ES_SEAL_INFO, seal);
    EXPECT_EQ(Bytes(r.bytes.begin(), r.bytes.begin() + 50), Bytes(50, 0));
  }
}

// ---------------------------------------------------------------------------
// Line scanning

TEST(LineScan, NewlineAndFirstLineLength) {
  EXPECT_EQ(newline('\n'), 1);
  EXPECT_EQ(newline('\r'), 1);
  EXPECT_EQ(newline('\0'), 1);
  EXPECT_EQ(newline(' '), 0);
  EXPECT_EQ(newline('\t'), 0);
  EXPECT_EQ(newline(static_cast<char>(0x8A)), 0);
  struct Row {
    const char* text;
    int length;
  } rows[] = {{"", 0},         {"abc", 3}, {"ab\ncd", 2},
              {"ab\r\ncd", 2}, {"\nx", 0}, {"印章\r", 6}};
  for (const Row& row : rows)
    EXPECT_EQ(strnewline(row.text), row.length) << row.text;
}

}  // namespace
