// Properties of seal signatures through SEF_ESealSignDataGetProperty, the
// delegation of seal numbers to the embedded seal, and the small exports of
// the verification library.
#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "SealVerify.h"
#include "fixtures.h"

namespace {

using fx::Bytes;
using fx::Family;

const Family kFamilies[] = {Family::kPlain, Family::kGin, Family::kGov};
const time_t kSignTime = 1704067200;  // 2024-01-01 00:00:00 UTC

struct Result {
  unsigned int code;
  unsigned int length;
  Bytes bytes;
};

// Size query, then a fetch into a buffer of exactly that size, checking
// that nothing is written past it.
Result Fetch(unsigned int flag, const Bytes& sig) {
  unsigned int len = 0xABCD;
  unsigned int rc = SEF_ESealSignDataGetProperty(
      flag, sig.data(), static_cast<unsigned int>(sig.size()), nullptr, &len);
  if (rc != 0) return {rc, len, {}};
  if (len == 0xABCD) return {rc, len, {}};  // nothing to deliver
  Bytes buf(len + 1, 0xEE);
  unsigned int size = len;
  rc = SEF_ESealSignDataGetProperty(
      flag, sig.data(), static_cast<unsigned int>(sig.size()), buf.data(), &size);
  EXPECT_EQ(buf[len], 0xEE) << "wrote past the buffer, flag " << flag;
  EXPECT_EQ(size, len) << "flag " << flag;
  buf.resize(len);
  return {rc, size, buf};
}

std::string Text(const Bytes& b) { return std::string(b.begin(), b.end()); }

struct Made {
  Bytes sig;
  Bytes seal;
  fx::SignatureSpec params;
  fx::PropertySpec property;
};

Made MakeFull(Family family) {
  Made m;
  m.property.picture = fx::PicturePattern(1000);
  m.params.signTime = kSignTime;
  m.params.timeText = "20240101000000Z";
  m.params.dataHash = fx::Sm3(fx::ToBytes("document"));
  m.params.propertyInfo = fx::PropertyXml(m.property);
  m.seal = fx::MakeSeal(family);
  m.params.seal = m.seal;
  m.params.signature = Bytes(64, 0x33);  // no verification here
  m.sig = fx::MakeSignature(family, m.params);
  return m;
}

// Lowercase hex, as the library renders bytes.
std::string Hex(const Bytes& b) {
  std::string h = fx::ToHex(b);
  for (char& c : h) c = static_cast<char>(std::tolower(c));
  return h;
}

// Local times below are rendered in a zone east of UTC.
class LocalZone : public ::testing::Environment {
 public:
  void SetUp() override {
    setenv("TZ", "CST-8", 1);
    tzset();
  }
};
const auto* const kZone = ::testing::AddGlobalTestEnvironment(new LocalZone);

TEST(SignatureProperty, EveryFlagOfEveryFamily) {
  const fx::Credential& signer = fx::DefaultSigner();
  for (Family family : kFamilies) {
    SCOPED_TRACE(fx::FamilyName(family));
    Made m = MakeFull(family);
    const Bytes version = {static_cast<uint8_t>(
        family == Family::kPlain ? 2 : family == Family::kGin ? 3 : 4)};
    struct Row {
      unsigned int flag;
      Bytes expected;
    } rows[] = {
        {1, Bytes(64, 0x33)},
        {2, signer.certDer},
        {3, fx::PicturePattern(1000)},
        {5, fx::ToBytes("2024-01-01 08:00:00")},  // TZ=CST-8
        {14, version},
        {15, fx::ToBytes("ESIGN-0001")},
        {16, fx::ToBytes("ESIGN-0000")},
        {17, fx::ToBytes("1")},
        {18, fx::ToBytes("电子印章测试部")},
        {19, fx::ToBytes("fixture")},
        {20, m.params.dataHash},
        {25, fx::ToBytes(*m.params.propertyInfo)},
        {62, fx::ToBytes(Hex(signer.certDer))},
    };
    for (const Row& row : rows) {
      Result r = Fetch(row.flag, m.sig);
      EXPECT_EQ(r.code, 0u) << "flag " << row.flag;
      EXPECT_TRUE(r.bytes == row.expected)
          << "flag " << row.flag << ": " << Text(r.bytes).substr(0, 200);
    }
  }
}

TEST(SignatureProperty, SignerDescriptionIsOneEntry) {
  const fx::Credential& signer = fx::DefaultSigner();
  Made m = MakeFull(Family::kGov);
  Result r = Fetch(61, m.sig);
  ASSERT_EQ(r.code, 0u);
  std::string text = Text(r.bytes);
  // subject, serial in hex, notBefore-notAfter as ASN.1 text, ";"
  const ASN1_INTEGER* serial = X509_get0_serialNumber(signer.cert.get());
  std::string serialHex =
      Hex(Bytes(serial->data, serial->data + serial->length));
  EXPECT_EQ(text.rfind("C=CN,O=测试科技有限公司,OU=电子印章测试部,CN=测试用户 ", 0), 0u)
      << text;
  EXPECT_NE(text.find(" " + serialHex + " "), std::string::npos) << text;
  ASSERT_EQ(text.back(), ';');
  size_t dash = text.rfind('-');
  ASSERT_NE(dash, std::string::npos);
  EXPECT_EQ(text.size() - dash - 1, 14u) << text;  // YYMMDDhhmmssZ;
  EXPECT_EQ(text[dash - 1], 'Z');
}

TEST(SignatureProperty, SealNumbersComeFromTheEmbeddedSeal) {
  for (Family family : kFamilies) {
    Made m = MakeFull(family);
    for (unsigned int flag : {6u, 8u, 9u, 23u, 53u, 54u, 56u, 59u}) {
      Result fromSig = Fetch(flag, m.sig);
      unsigned int len = 0;
      ASSERT_EQ(SEF_AnalyzeESealData(flag, m.seal.data(),
                                     static_cast<unsigned int>(m.seal.size()),
                                     nullptr, &len),
                0u);
      Bytes direct(len);
      ASSERT_EQ(SEF_AnalyzeESealData(flag, m.seal.data(),
                                     static_cast<unsigned int>(m.seal.size()),
                                     direct.data(), &len),
                0u);
      EXPECT_EQ(fromSig.code, 0u) << flag;
      EXPECT_TRUE(fromSig.bytes == direct) << fx::FamilyName(family) << " " << flag;
    }
    // Numbers neither the signature nor the seal serves.
    EXPECT_EQ(Fetch(4, m.sig).code, 5022u);
    EXPECT_EQ(Fetch(family == Family::kPlain ? 60 : 21, m.sig).code,
              family == Family::kGov ? 0u : 5022u);
  }
}

TEST(SignatureProperty, BufferProtocol) {
  Made m = MakeFull(Family::kGin);
  unsigned int len = 0;
  ASSERT_EQ(SEF_ESealSignDataGetProperty(20, m.sig.data(),
                                         static_cast<unsigned int>(m.sig.size()),
                                         nullptr, &len),
            0u);
  ASSERT_EQ(len, 32u);
  Bytes buf(31, 0xEE);
  len = 31;
  EXPECT_EQ(SEF_ESealSignDataGetProperty(20, m.sig.data(),
                                         static_cast<unsigned int>(m.sig.size()),
                                         buf.data(), &len),
            5003u);
  EXPECT_EQ(len, 32u);
  EXPECT_EQ(buf, Bytes(31, 0xEE)) << "buffer untouched";
  // The same protocol for a delegated number.
  len = 3;
  Bytes small(3, 0xEE);
  EXPECT_EQ(SEF_ESealSignDataGetProperty(9, m.sig.data(),
                                         static_cast<unsigned int>(m.sig.size()),
                                         small.data(), &len),
            5003u);
  EXPECT_GT(len, 3u);
  EXPECT_EQ(small, Bytes(3, 0xEE));
}

TEST(SignatureProperty, ArgumentsAndUndecodableSignatures) {
  Made m = MakeFull(Family::kPlain);
  unsigned int len = 0;
  EXPECT_EQ(SEF_ESealSignDataGetProperty(1, nullptr, 10, nullptr, &len), 5002u);
  EXPECT_EQ(SEF_ESealSignDataGetProperty(1, m.sig.data(), 10, nullptr, nullptr),
            5002u);
  EXPECT_EQ(SEF_ESealSignDataGetProperty(1, m.sig.data(), 0, nullptr, &len),
            5023u);
  EXPECT_EQ(SEF_ESealSignDataGetProperty(1, m.sig.data(),
                                         static_cast<unsigned int>(m.sig.size() / 2),
                                         nullptr, &len),
            5023u);
  fx::SignatureSpec gin;
  gin.ginEmbeddedSeal = true;
  Bytes core = fx::MakeSignature(Family::kGin, gin);
  EXPECT_EQ(Fetch(1, core).code, 5023u);
  // A plain signature whose version routes it to the GIN decoder; with 4
  // (seen in the field) the plain layout is read after the GOV one failed.
  fx::SignatureSpec three;
  three.version = 3;
  EXPECT_EQ(Fetch(1, fx::MakeSignature(Family::kPlain, three)).code, 5024u);
  three.version = 4;
  EXPECT_EQ(Fetch(1, fx::MakeSignature(Family::kPlain, three)).code, 0u);
}

// The handwriting picture and the property document: what is malformed is
// reported, never handed out as bytes.
TEST(SignatureProperty, PropertyDocumentFailures) {
  struct Row {
    const char* what;
    unsigned int flag;
    std::string property;
    unsigned int code;
  };
  fx::PropertySpec zero;  // WriPicLen 0
  fx::PropertySpec noLen;
  noLen.picture.reset();
  fx::PropertySpec letters;
  letters.wriPicLenText = "abc";
  fx::PropertySpec trailing;
  trailing.wriPicLenText = "12abc";
  fx::PropertySpec negative;
  negative.wriPicLenText = "-5";
  fx::PropertySpec huge;
  huge.wriPicLenText = "1000000000";
  fx::PropertySpec noData;
  noData.picture.reset();
  noData.wriPicLenText = "1000";
  fx::PropertySpec notZlib;
  notZlib.wriPicLenText = "1000";
  notZlib.wriPicDataText = fx::Base64(fx::ToBytes("this is not zlib data"));
  fx::PropertySpec shortLen;  // the picture inflates to more than WriPicLen
  shortLen.picture = fx::PicturePattern(1000);
  shortLen.wriPicLenText = "999";
  fx::PropertySpec noElements;
  noElements.esignId.reset();
  noElements.userProperty = "";
  const Row rows[] = {
      {"WriPicLen 0: no picture", 3, fx::PropertyXml(zero), 0},
      {"WriPicLen missing", 3, fx::PropertyXml(noLen), 5024},
      {"WriPicLen not a number", 3, fx::PropertyXml(letters), 5015},
      {"WriPicLen negative", 3, fx::PropertyXml(negative), 5015},
      {"WriPicLen with trailing text", 3, fx::PropertyXml(trailing), 5015},
      {"WriPicLen above 64 MiB", 3, fx::PropertyXml(huge), 5015},
      {"WriPicData missing", 3, fx::PropertyXml(noData), 5015},
      {"WriPicData not zlib", 3, fx::PropertyXml(notZlib), 5015},
      {"picture longer than WriPicLen", 3, fx::PropertyXml(shortLen), 5015},
      {"not XML, picture", 3, "plain text, not a document", 5015},
      {"not XML, esignId", 15, "esignId=ESIGN-0001", 5015},
      {"missing element", 15, fx::PropertyXml(noElements), 0},
      {"empty element", 19, fx::PropertyXml(noElements), 0},
  };
  for (Family family : kFamilies) {
    for (const Row& row : rows) {
      fx::SignatureSpec params;
      params.propertyInfo = row.property;
      Bytes sig = fx::MakeSignature(family, params);
      unsigned int len = 0xABCD;
      Bytes buf(64, 0xEE);
      unsigned int rc = SEF_ESealSignDataGetProperty(
          row.flag, sig.data(), static_cast<unsigned int>(sig.size()), nullptr,
          &len);
      EXPECT_EQ(rc, row.code) << fx::FamilyName(family) << ": " << row.what;
      if (row.code == 0) {
        EXPECT_EQ(len, 0xABCDu) << row.what << ": nothing is written";
      }
      len = 64;
      rc = SEF_ESealSignDataGetProperty(row.flag, sig.data(),
                                        static_cast<unsigned int>(sig.size()),
                                        buf.data(), &len);
      EXPECT_EQ(rc, row.code) << row.what;
      EXPECT_EQ(buf, Bytes(64, 0xEE)) << row.what << ": buffer untouched";
    }
  }
}

// Signing times as encoders in the field write them, all read as UTC.
TEST(SignatureProperty, SigningTimesOfEncodersInTheField) {
  struct Row {
    Family family;
    const char* text;
  } rows[] = {
      {Family::kPlain, "2020-01-25T07:31:56.377Z"},  // ISO text, version 1
      {Family::kGin, "2020-01-25T07:31:56Z"},
      {Family::kPlain, "20200125073156Z"},
      {Family::kGov, "20200125073156"},  // GeneralizedTime without Z
      {Family::kGov, "200125073156Z"},   // UTCTime text in a GeneralizedTime
      {Family::kGov, "20200125073156.377Z"},
  };
  for (const Row& row : rows) {
    fx::SignatureSpec params;
    params.timeText = row.text;
    if (row.family == Family::kPlain) params.version = 1;
    Result r = Fetch(5, fx::MakeSignature(row.family, params));
    EXPECT_EQ(r.code, 0u) << row.text;
    EXPECT_EQ(Text(r.bytes), "2020-01-25 15:31:56") << row.text;  // TZ=CST-8
  }
}

TEST(SignatureProperty, SigningTimeAndSignerCertificateFailures) {
  for (Family family : {Family::kPlain, Family::kGin}) {
    fx::SignatureSpec params;
    params.timeText = "not a time";
    EXPECT_EQ(Fetch(5, fx::MakeSignature(family, params)).code, 5039u);
  }
  for (Family family : kFamilies) {
    fx::SignatureSpec params;
    params.cert = Bytes{0x30, 0x03, 0x02, 0x01, 0x01};
    Bytes sig = fx::MakeSignature(family, params);
    EXPECT_EQ(Fetch(18, sig).code, 5010u);
    EXPECT_EQ(Fetch(61, sig).code, 5010u);
    // Raw fields are still served.
    EXPECT_EQ(Fetch(2, sig).bytes, (Bytes{0x30, 0x03, 0x02, 0x01, 0x01}));
  }
}

TEST(SignatureProperty, ThreadsReadPropertiesAtOnce) {
  std::vector<Made> made;
  for (Family family : kFamilies) made.push_back(MakeFull(family));
  std::vector<int> failures(3, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        const Made& m = made[static_cast<size_t>((t + i) % 3)];
        if (Fetch(3, m.sig).bytes != fx::PicturePattern(1000)) ++failures[static_cast<size_t>(t)];
        if (Fetch(20, m.sig).bytes != m.params.dataHash) ++failures[static_cast<size_t>(t)];
      }
    });
  for (auto& th : threads) th.join();
  for (int f : failures) EXPECT_EQ(f, 0);
}

TEST(SignatureApi, SmallExports) {
  SEF_EPicture_Free(nullptr);
  SEF_EPicture_Free(new unsigned char[16]);  // array delete, checked by ASan
  EXPECT_STREQ(SEF_FormatError(0), "成功");
  EXPECT_STREQ(SEF_FormatError(5013), "摘要校验错误");
  std::thread([] { EXPECT_EQ(SEF_GetLastError(), 0u); }).join();

  char out[16];
  std::memset(out, 'x', sizeof out);
  time_t before = time(nullptr);
  ASSERT_EQ(SEF_GetServerTime(0, out), 0u);
  time_t after = time(nullptr);
  ASSERT_EQ(std::strlen(out), 13u) << out;  // UTCTime until 2049
  EXPECT_EQ(out[12], 'Z');
  for (int i = 0; i < 12; ++i) EXPECT_TRUE(std::isdigit(out[i])) << out;
  // time() may read a coarser clock than the library, a tick behind it.
  bool within = false;
  for (time_t second = before; second <= after + 1; ++second) {
    char text[16];
    struct tm t;
    gmtime_r(&second, &t);
    strftime(text, sizeof text, "%y%m%d%H%M%SZ", &t);
    within = within || std::string(out) == text;
  }
  EXPECT_TRUE(within) << out;
  EXPECT_EQ(SEF_GetServerTime(0, nullptr), 5002u);
}

}  // namespace
