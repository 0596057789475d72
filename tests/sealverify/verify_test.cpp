// SEF_OfdESealSign_Verify against signatures made by the fixture kit with
// OpenSSL's own SM2 and RSA: valid signatures of every family verify, and
// each broken step fails with its code and its log line.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "KXLog.h"
#include "SealVerify.h"
#include "fixtures.h"
#include "test_process.h"

namespace {

namespace fs = std::filesystem;
using fx::Bytes;
using fx::Family;

const Family kFamilies[] = {Family::kPlain, Family::kGin, Family::kGov};

std::string Line(const char* format, unsigned int code) {
  char buf[256];
  std::snprintf(buf, sizeof buf, format, code);
  return buf;
}

unsigned int Verify(const Bytes& digest, const Bytes& sig) {
  return SEF_OfdESealSign_Verify(digest.data(),
                                 static_cast<unsigned int>(digest.size()),
                                 sig.data(), static_cast<unsigned int>(sig.size()));
}

Bytes Digest() { return fx::Sm3(fx::ToBytes("the signed document data")); }

fx::SignatureSpec SpecFor(fx::KeyType signer) {
  fx::SignatureSpec params;
  params.dataHash = Digest();
  params.signer = fx::DefaultSigner(signer);
  return params;
}

TEST(Verify, ValidSignaturesOfEveryFamilyAndSignerVerify) {
  for (Family family : kFamilies) {
    for (fx::KeyType signer : {fx::KeyType::kSm2, fx::KeyType::kRsa}) {
      Bytes sig = fx::MakeSignature(family, SpecFor(signer));
      EXPECT_EQ(Verify(Digest(), sig), 0u)
          << fx::FamilyName(family) << (signer == fx::KeyType::kRsa ? " RSA" : " SM2");
    }
  }
}

TEST(Verify, SealsMadeWithRsaAndOptionalFieldsVerify) {
  for (Family family : kFamilies) {
    fx::SealSpec seal;
    seal.maker = fx::DefaultMaker(fx::KeyType::kRsa);
    seal.extDatas = std::vector<fx::ExtensionSpec>{{}, {}};
    fx::SignatureSpec params = SpecFor(fx::KeyType::kSm2);
    params.seal = fx::MakeSeal(family, seal);
    if (family == Family::kGin) params.verfyResult = fx::ResultDataSpec{};
    if (family == Family::kGov) {
      params.extDatas = std::vector<fx::ExtensionSpec>{{}};
      params.timeStamp = std::vector<Bytes>{Bytes{1, 2, 3}};
    }
    Bytes sig = fx::MakeSignature(family, params);
    EXPECT_EQ(Verify(Digest(), sig), 0u) << fx::FamilyName(family);
    // Bytes after the signature are ignored.
    Bytes trailing = sig;
    trailing.push_back(0);
    EXPECT_EQ(Verify(Digest(), trailing), 0u) << fx::FamilyName(family);
  }
}

TEST(Verify, ArgumentsAndUndecodableBytes) {
  Bytes sig = fx::MakeSignature(Family::kGov, SpecFor(fx::KeyType::kSm2));
  fx::TestLog::Watch();
  EXPECT_EQ(SEF_OfdESealSign_Verify(nullptr, 32, sig.data(), 10), 5002u);
  EXPECT_EQ(SEF_OfdESealSign_Verify(Digest().data(), 32, nullptr, 10), 5002u);
  EXPECT_NE(fx::TestLog::Since().find(Line(
                "SEF_OfdESealSign_Verify==>%08x -- arguments error", 5002)),
            std::string::npos);

  fx::TestLog::Watch();
  const Bytes junk = {0x30, 0x03, 0x02, 0x01, 0x01};
  EXPECT_EQ(Verify(Digest(), junk), 5023u);
  EXPECT_EQ(SEF_OfdESealSign_Verify(Digest().data(), 32, junk.data(), 0), 5023u);
  Bytes truncated(sig.begin(), sig.begin() + static_cast<long>(sig.size() / 2));
  EXPECT_EQ(Verify(Digest(), truncated), 5023u);
  EXPECT_NE(fx::TestLog::Since().find(Line("SEF_OfdESealSign_Verify==>%08x -- "
                                           "ES_CheckSealSignVerson() error",
                                           5023)),
            std::string::npos);
}

// One row per step of the verification that can fail on a signature.
struct BrokenRow {
  const char* what;
  Family family;
  unsigned int code;
  const char* line;  // printf format of the expected log text, with the code
  void (*edit)(fx::SignatureSpec*, Bytes* digest);
};

const BrokenRow kBroken[] = {
    {"plain signature with version 4", Family::kPlain, 5024,
     "SEF_OfdESealSign_Verify==>%08x -- d2i_GOV_SESSignature() error",
     [](fx::SignatureSpec* s, Bytes*) { s->version = 4; }},
    {"plain signature with version 3", Family::kPlain, 5024,
     "SEF_OfdESealSign_Verify==>%08x -- d2i_GIN_SESSignature() error",
     [](fx::SignatureSpec* s, Bytes*) { s->version = 3; }},
    {"GIN seal bytes that are not a seal", Family::kGin, 5023,
     "SEF_OfdESealSignDataOnlyCertinKey_OnLine_Net==>%08x -- d2i_GIN_SESeal() "
     "error",
     [](fx::SignatureSpec* s, Bytes*) { s->seal = Bytes{0x04, 0x01, 0x00}; }},
    {"bad maker signature, plain", Family::kPlain, 5035,
     "ES_VerifySealVaild-->%08x -- SEBF_VerifyData() error",
     [](fx::SignatureSpec* s, Bytes*) {
       fx::SealSpec seal;
       seal.signData = Bytes(64, 0x11);
       s->seal = fx::MakeSeal(Family::kPlain, seal);
     }},
    {"bad maker signature, GIN", Family::kGin, 5035,
     "ES_Gin_VerifySealVaild-->%08x -- SEBF_VerifyData() error",
     [](fx::SignatureSpec* s, Bytes*) {
       // A maker signature over other bytes.
       fx::SealSpec seal;
       seal.signData = fx::Sign(fx::DefaultMaker(), fx::ToBytes("other"));
       s->seal = fx::MakeSeal(Family::kGin, seal);
     }},
    {"bad maker signature, GOV", Family::kGov, 5035,
     "ES_Gov_VerifySealVaild-->%08x -- SEBF_VerifyData() error",
     [](fx::SignatureSpec* s, Bytes*) {
       fx::SealSpec seal;
       seal.maker = fx::DefaultMaker(fx::KeyType::kRsa);
       seal.signData = fx::Sign(fx::DefaultMaker(fx::KeyType::kRsa),
                                fx::ToBytes("other"));
       s->seal = fx::MakeSeal(Family::kGov, seal);
     }},
    {"empty signer certificate, plain", Family::kPlain, 5029,
     "SEF_OfdESealSign_Verify==>%08x -- cert in tbs sign error",
     [](fx::SignatureSpec* s, Bytes*) { s->cert = Bytes(); }},
    {"empty signer certificate, GIN", Family::kGin, 5029,
     "SEF_OfdESealSign_Verify==>%08x --ginSeal cert in tbs sign error",
     [](fx::SignatureSpec* s, Bytes*) { s->cert = Bytes(); }},
    {"empty signer certificate, GOV", Family::kGov, 5029,
     "SEF_OfdESealSign_Verify==>%08x -- govSeal cert in tbs sign error",
     [](fx::SignatureSpec* s, Bytes*) { s->cert = Bytes(); }},
    {"signer certificate that is not X.509", Family::kGov, 5010,
     "SEF_OfdESealSign_Verify==>%08x -- KXStrToX509() error,invalid cert",
     [](fx::SignatureSpec* s, Bytes*) {
       s->cert = Bytes{0x30, 0x03, 0x02, 0x01, 0x05};
     }},
    {"digest that differs, plain", Family::kPlain, 5013,
     "SEF_ESealSign_Verify==>%08x -- verify esign datahash error",
     [](fx::SignatureSpec*, Bytes* d) { (*d)[0] ^= 1; }},
    {"digest that differs, GIN", Family::kGin, 5013,
     "SEF_ESealSign_Verify==>%08x --ginSeal verify esign datahash error",
     [](fx::SignatureSpec*, Bytes* d) { (*d)[31] ^= 0x80; }},
    {"digest that is a prefix, GOV", Family::kGov, 5013,
     "SEF_OfdESealSign_Verify==>%08x --govSeal verify esign datahash error",
     [](fx::SignatureSpec*, Bytes* d) { d->resize(31); }},
    {"bad signer signature, plain", Family::kPlain, 5035,
     "ES_VerifySignVaild==>%08x -- SEBF_VerifyData() error",
     [](fx::SignatureSpec* s, Bytes*) { s->signature = Bytes(64, 0x22); }},
    {"bad signer signature, GIN", Family::kGin, 5035,
     "ES_VerifySignVaild==>%08x --ginSeal SEBF_VerifyData() error",
     [](fx::SignatureSpec* s, Bytes*) {
       s->signature = fx::Sign(fx::DefaultSigner(), fx::ToBytes("other"));
     }},
    {"bad signer signature, GOV RSA", Family::kGov, 5035,
     "SEF_OfdESealSign_Verify==>%08x --govSeal SEBF_VerifyData() error",
     [](fx::SignatureSpec* s, Bytes*) {
       s->signer = fx::DefaultSigner(fx::KeyType::kRsa);
       s->signature =
           fx::Sign(fx::DefaultSigner(fx::KeyType::kRsa), fx::ToBytes("x"));
     }},
    {"signature by another key", Family::kGov, 5035,
     "SEF_OfdESealSign_Verify==>%08x --govSeal SEBF_VerifyData() error",
     [](fx::SignatureSpec* s, Bytes*) {
       s->cert = fx::DefaultMaker().certDer;  // signed by DefaultSigner
     }},
};

TEST(Verify, EachBrokenStepFailsWithItsCodeAndLogLine) {
  for (const BrokenRow& row : kBroken) {
    fx::SignatureSpec params = SpecFor(fx::KeyType::kSm2);
    Bytes digest = Digest();
    row.edit(&params, &digest);
    Bytes sig = fx::MakeSignature(row.family, params);
    fx::TestLog::Watch();
    EXPECT_EQ(Verify(digest, sig), row.code) << row.what;
    EXPECT_NE(fx::TestLog::Since().find(Line(row.line, row.code)),
              std::string::npos)
        << row.what << "\nlog:\n"
        << fx::TestLog::Since();
  }
}

TEST(Verify, MissingConfigurationIsNotAnError) {
  // The build's library folder holds no main.ini; it is looked for on the
  // first verification of a process.
  KX_IN_FRESH_PROCESS();
  Bytes sig = fx::MakeSignature(Family::kGin, SpecFor(fx::KeyType::kSm2));
  fx::TestLog::Watch();
  EXPECT_EQ(Verify(Digest(), sig), 0u);
  EXPECT_EQ(SEF_GetLastError(), 0u);
  EXPECT_EQ(fx::TestLog::Since().find("[ERROR"), std::string::npos)
      << fx::TestLog::Since();
}

TEST(Verify, EmptyDigestMatchesAnEmptyStoredDigest) {
  fx::SignatureSpec params = SpecFor(fx::KeyType::kSm2);
  params.dataHash = Bytes();
  Bytes sig = fx::MakeSignature(Family::kPlain, params);
  const unsigned char any = 0;
  EXPECT_EQ(SEF_OfdESealSign_Verify(&any, 0, sig.data(),
                                    static_cast<unsigned int>(sig.size())),
            0u);
}

TEST(Verify, GinSignatureInTheSealLibraryLayoutIsNotRecognised) {
  fx::SignatureSpec params = SpecFor(fx::KeyType::kSm2);
  params.ginEmbeddedSeal = true;
  EXPECT_EQ(Verify(Digest(), fx::MakeSignature(Family::kGin, params)), 5023u);
}

TEST(Verify, ThreadsVerifyingDifferentSignaturesGetTheRightAnswers) {
  struct Case {
    Bytes sig;
    Bytes digest;
    unsigned int expected;
  };
  std::vector<Case> cases;
  for (Family family : kFamilies) {
    for (fx::KeyType signer : {fx::KeyType::kSm2, fx::KeyType::kRsa}) {
      fx::SignatureSpec params = SpecFor(signer);
      Bytes sig = fx::MakeSignature(family, params);
      cases.push_back({sig, Digest(), 0});
      Bytes other = Digest();
      other[5] ^= 0xFF;
      cases.push_back({sig, other, 5013});
      Bytes bad = sig;
      bad[bad.size() - 3] ^= 0x01;  // inside the signature value
      cases.push_back({bad, Digest(), 5035});
    }
  }
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 5; ++round)
        for (size_t i = 0; i < cases.size(); ++i) {
          const Case& c = cases[(i + static_cast<size_t>(t)) % cases.size()];
          if (Verify(c.digest, c.sig) != c.expected) ++failures[static_cast<size_t>(t)];
        }
    });
  }
  for (auto& th : threads) th.join();
  for (int f : failures) EXPECT_EQ(f, 0);
}

// ---------------------------------------------------------------------------
// The verifyCL switch, each case in a process of its own with a private copy
// of the libraries and its own main.ini.

std::string LibraryFileOf(const void* symbol) {
  Dl_info info{};
  if (dladdr(symbol, &info) == 0 || info.dli_fname == nullptr) return "";
  return fs::canonical(info.dli_fname).string();
}

class VerifyClProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kxverifycl_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    struct Lib {
      const void* symbol;
      const char* file;
      const char* soname;
    } libs[] = {
        {reinterpret_cast<const void*>(&KXLog), "libKXCommon.so.1.0.0",
         "libKXCommon.so.1"},
        {reinterpret_cast<const void*>(&SEF_OfdESealSign_Verify),
         "libsealverify.so.1.0.0", "libsealverify.so.1"},
    };
    for (const Lib& lib : libs) {
      fs::copy_file(LibraryFileOf(lib.symbol), dir_ / lib.file);
      fs::create_symlink(lib.file, dir_ / lib.soname);
    }
    // libsealcore: beside libsealverify in the build.
    fs::path core = fs::path(LibraryFileOf(
                                 reinterpret_cast<const void*>(&SEF_OfdESealSign_Verify)))
                        .parent_path() /
                    "libsealcore.so.1";
    fs::copy_file(fs::canonical(core), dir_ / "libsealcore.so.1.0.0");
    fs::create_symlink("libsealcore.so.1.0.0", dir_ / "libsealcore.so.1");
  }
  void TearDown() override { fs::remove_all(dir_); }

  void WriteIni(const std::string& text) {
    std::ofstream(dir_ / "main.ini", std::ios::binary) << text;
  }

  // Runs the probe on a signature; returns its result code and checks that
  // it really used this copy of the libraries.
  unsigned int Run(const Bytes& sig, const Bytes& digest) {
    fs::path sigFile = dir_ / "sig.der";
    std::ofstream(sigFile, std::ios::binary)
        .write(reinterpret_cast<const char*>(sig.data()),
               static_cast<std::streamsize>(sig.size()));
    std::string cmd = "LD_LIBRARY_PATH='" + dir_.string() + "' '" +
                      KX_VERIFY_PROBE + "' " + fx::ToHex(digest) + " '" +
                      sigFile.string() + "'";
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return 0xFFFFFFFFu;
    char out[4096] = {0};
    size_t n = fread(out, 1, sizeof out - 1, p);
    pclose(p);
    unsigned int rc = 0xFFFFFFFFu;
    char dll[4000] = {0};
    if (std::sscanf(std::string(out, n).c_str(), "%u %3999s", &rc, dll) != 2)
      return 0xFFFFFFFEu;
    EXPECT_EQ(fs::path(dll), fs::path(dir_.string() + "/"));
    return rc;
  }

  static Bytes ExpiredSignerSignature() {
    fx::CertSpec cert;
    cert.validity = fx::Validity::kExpired;
    fx::SignatureSpec params;
    params.dataHash = Digest();
    params.signer = fx::MakeCredential(cert, &fx::DefaultRoot());
    return fx::MakeSignature(Family::kGov, params);
  }

  fs::path dir_;
};

TEST_F(VerifyClProcess, NoMainIniLeavesCertificateChecksOff) {
  EXPECT_EQ(Run(ExpiredSignerSignature(), Digest()), 0u);
}

TEST_F(VerifyClProcess, ZeroLeavesCertificateChecksOff) {
  WriteIni("[Default]\nverifyCL=0\n");
  EXPECT_EQ(Run(ExpiredSignerSignature(), Digest()), 0u);
}

TEST_F(VerifyClProcess, OneRejectsAnExpiredSignerCertificate) {
  WriteIni("[Default]\nlogLevel=2\nverifyCL=1\n");
  EXPECT_EQ(Run(ExpiredSignerSignature(), Digest()), 5019u);
  // A signer certificate within its period still verifies.
  fx::SignatureSpec params;
  params.dataHash = Digest();
  EXPECT_EQ(Run(fx::MakeSignature(Family::kPlain, params), Digest()), 0u);
}

TEST_F(VerifyClProcess, NonNumericValueAndMissingSectionAreOff) {
  WriteIni("[Other]\nverifyCL=1\n[Default]\nverifyCL=abc\n");
  EXPECT_EQ(Run(ExpiredSignerSignature(), Digest()), 0u);
}

}  // namespace
