// The trust store and chain checks over hierarchies made by the fixture kit
// with OpenSSL. Each test sets the method it needs and erases what it stored,
// so the tests also pass in one process; trust.txt is read by a probe process
// beside a private copy of the library.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "KXError.h"
#include "KXLog.h"
#include "KXTrust.h"
#include "crypto/crypto_kit.h"
#include "fixtures.h"

namespace {

namespace fs = std::filesystem;
using fx::Credential;
using fx::KeyType;

Credential Make(const char* cn, const Credential* issuer,
                std::pair<long, long> days, bool ca = false,
                KeyType type = KeyType::kSm2, bool keyIds = true,
                int rsaBits = 2048) {
  fx::CertSpec params;
  params.keyType = type;
  params.subject = {"CN", "Trust Test", "", cn};
  params.ca = ca;
  params.keyIdentifiers = keyIds;
  params.rsaBits = rsaBits;
  params.periodDays = days;
  return fx::MakeCredential(params, issuer);
}

// Names the issuer by key identifier and name, signed by another key.
Credential Forge(const Credential& issuer) {
  Credential impostor = issuer;
  impostor.key = fx::MakeKey(KeyType::kSm2);
  return Make("Forged", &impostor, {-1, 700});
}
// The certificate with one bit of r in its SM2 signature flipped.
Credential FlipSignatureBit(const Credential& c) {
  Credential bad = c;
  bad.cert.reset(X509_dup(c.cert.get()), X509_free);
  const ASN1_BIT_STRING* sig = nullptr;
  X509_get0_signature(&sig, nullptr, bad.cert.get());
  const_cast<ASN1_BIT_STRING*>(sig)->data[10] ^= 1;
  return bad;
}
// An RSA certificate whose start time is not a time, signed after the change.
Credential BadStartTime(const Credential& issuer) {
  Credential c =
      Make("Bad Time", &issuer, {-1, 700}, false, KeyType::kRsa, false);
  ASN1_STRING_set(X509_getm_notBefore(c.cert.get()), "2401ZZ", 6);
  X509_sign(c.cert.get(), issuer.key.get(), EVP_sha256());
  return c;
}

// Made once per process. Roots are valid from 10 days ago for ten years, so
// leaves made later with nearby periods nest.
struct Sm2Pki {
  Credential root = Make("Root", nullptr, {-10, 3650}, true);
  Credential inter = Make("Sub", &root, {-5, 1800}, true);
  Credential leafOfInter = Make("Leaf I", &inter, {-1, 700});
  Credential leafOfRoot = Make("Leaf R", &root, {-1, 700});
  Credential otherRoot = Make("Other", nullptr, {-10, 3650}, true);
  Credential early = Make("Early", &root, {-20, 100});
  Credential late = Make("Late", &root, {-1, 4000});
  Credential expired = Make("Expired", &root, {-9, -1});
  Credential notYet = Make("Not Yet", &root, {1, 100});
  Credential forged = Forge(root);
  Credential badRoot = FlipSignatureBit(root);
};
const Sm2Pki& P() {
  static const Sm2Pki pki;
  return pki;
}
// RSA roots of two sizes under one name, without key identifiers: their
// leaves are found by signature type and issuer name.
struct RsaPki {
  Credential root4096 =
      Make("RSA", nullptr, {-10, 3650}, true, KeyType::kRsa, false, 4096);
  Credential root2048 =
      Make("RSA", nullptr, {-10, 3650}, true, KeyType::kRsa, false);
  Credential leafOf4096 =
      Make("Leaf", &root4096, {-1, 700}, false, KeyType::kRsa, false);
  Credential leafOf2048 =
      Make("Leaf", &root2048, {-1, 700}, false, KeyType::kRsa, false);
  Credential badTime = BadStartTime(root2048);
};
const RsaPki& R() {
  static const RsaPki pki;
  return pki;
}

std::string Pem(const std::vector<const Credential*>& certs) {
  std::string out;
  for (const Credential* c : certs) out += kit::Pem(c->cert.get());
  return out;
}
int Add(const Credential& c) { return KXTrustAddX509(c.cert.get()); }
int Check(const Credential& c) { return KXVerifyCertLink(c.cert.get(), true); }
void Erase(const std::vector<const Credential*>& certs) {
  for (const Credential* c : certs) KXTrustEraseX509(c->cert.get());
}

class Trust : public ::testing::Test {
 protected:
  void SetUp() override { KXSetVerifyCertlinkMethod(2); }
  void TearDown() override {
    Erase({&P().root, &P().inter, &P().otherRoot});
    KXSetVerifyCertlinkMethod(1);
  }
};

// One issuer level: found by key identifier or by type and name, its
// signature verified, the periods nested, the current time in the period.
TEST_F(Trust, ChecksCertificatesAgainstStoredIssuers) {
  const Sm2Pki& p = P();
  const RsaPki& r = R();
  struct Row {
    const char* name;
    std::vector<const Credential*> stored;
    const Credential* cert;  // null: a null certificate
    bool period;
    int expected;
  } rows[] = {
      {"leaf of the root", {&p.root}, &p.leafOfRoot, true, 0},
      {"the root itself", {&p.root}, &p.root, true, 0},
      {"via the intermediate", {&p.root, &p.inter}, &p.leafOfInter, true, 0},
      {"intermediate not stored", {&p.root}, &p.leafOfInter, false, 5047},
      {"another root stored", {&p.otherRoot}, &p.leafOfRoot, false, 5047},
      {"RSA_4096 + name", {&r.root2048, &r.root4096}, &r.leafOf4096, true, 0},
      {"RSA_2048 + name", {&r.root4096, &r.root2048}, &r.leafOf2048, true, 0},
      {"RSA of the other size", {&r.root2048}, &r.leafOf4096, false, 5047},
      {"signed by another key", {&p.root}, &p.forged, false, 5011},
      {"starts before its issuer", {&p.root}, &p.early, false, 5014},
      {"ends after its issuer", {&p.root}, &p.late, false, 5014},
      {"expired, period checked", {&p.root}, &p.expired, true, 5019},
      {"expired, period not checked", {&p.root}, &p.expired, false, 0},
      {"not yet valid, period checked", {&p.root}, &p.notYet, true, 5019},
      {"start time not a time", {&r.root2048}, &r.badTime, false, 5039},
      {"null", {&p.root}, nullptr, false, 5002},
  };
  for (const Row& row : rows) {
    for (const Credential* c : row.stored) ASSERT_EQ(Add(*c), 0) << row.name;
    KXSetLastError(0);
    X509* cert = row.cert == nullptr ? nullptr : row.cert->cert.get();
    EXPECT_EQ(KXVerifyCertLink(cert, row.period), row.expected) << row.name;
    EXPECT_EQ(KXGetLastError(), row.expected) << row.name;
    Erase(row.stored);
  }
}

TEST_F(Trust, MethodSwitch) {
  ASSERT_EQ(Add(P().root), 0);
  // {method set, leaf whose issuer is stored, leaf whose issuer is not};
  // unknown values leave the method as it was.
  const int rows[][3] = {
      {0, 0, 0}, {7, 0, 0}, {-1, 0, 0}, {1, 5001, 5001}, {2, 0, 5047}};
  for (const auto& row : rows) {
    KXSetVerifyCertlinkMethod(row[0]);
    EXPECT_EQ(Check(P().leafOfRoot), row[1]) << row[0];
    EXPECT_EQ(Check(P().leafOfInter), row[2]) << row[0];
  }
  KXSetVerifyCertlinkMethod(1);
  EXPECT_EQ(KXVerifyCertLinkbyFile(P().leafOfRoot.cert.get(), true), 0);
  EXPECT_EQ(KXVerifyCertLinkbySystem(P().leafOfRoot.cert.get(), true), 5001);
  EXPECT_EQ(KXTrustAddCrl(), 5001);
  EXPECT_EQ(KXTrustAddX509(nullptr), 5002);
  EXPECT_EQ(KXTrustEraseX509(nullptr), 5002);
  EXPECT_EQ(KXLoadTrusts(nullptr, 10), 5002);
}

// Adding runs the chain check under the current method, so issuers come
// first; self-issued certificates verify with their own key. Afterwards the
// leaf of the root and the leaf of the intermediate are checked.
TEST_F(Trust, AddsAndErases) {
  const Sm2Pki& p = P();
  struct Step {
    bool add;  // else erase
    const Credential* cert;
    int expected;
  };
  const Credential *root = &p.root, *sub = &p.inter;
  const bool add = true, rm = false;
  struct Row {
    const char* name;
    int method, leafOfRoot, leafOfInter;
    std::vector<Step> steps;
  } rows[] = {
      {"method 1", 1, 0, 5047, {{add, root, 0}, {add, sub, 5001}}},
      {"reversed", 2, 0, 0, {{add, sub, 5047}, {add, root, 0}, {add, sub, 0}}},
      {"method 0", 0, 5047, 0, {{add, sub, 0}}},
      {"bad self-signature", 2, 5047, 5047, {{add, &p.badRoot, 5011}}},
      {"twice", 2, 5047, 5047, {{add, root, 0}, {add, root, 0}, {rm, root, 0}}},
      {"not stored", 2, 5047, 5047, {{rm, root, 5032}}},
  };
  for (const Row& row : rows) {
    KXSetVerifyCertlinkMethod(row.method);
    for (const Step& s : row.steps)
      EXPECT_EQ(s.add ? Add(*s.cert) : KXTrustEraseX509(s.cert->cert.get()),
                s.expected)
          << row.name;
    KXSetVerifyCertlinkMethod(2);
    EXPECT_EQ(Check(p.leafOfRoot), row.leafOfRoot) << row.name;
    EXPECT_EQ(Check(p.leafOfInter), row.leafOfInter) << row.name;
    Erase({&p.root, &p.inter});
  }
}

TEST_F(Trust, LoadsPemText) {
  const Sm2Pki& p = P();
  const std::string good = Pem({&p.root, &p.inter});
  std::string corrupt = good;
  corrupt[corrupt.find("-----\n") + 20] = '*';
  const int all = -2;
  struct Row {
    const char* name;
    int method, expected, leafOfRoot, leafOfInter;
    std::string text;
    int length = all;
  } rows[] = {
      {"root and intermediate", 2, 0, 0, 0, good},
      {"up to the NUL", 2, 0, 0, 0, good, -1},
      {"method 1 keeps the root", 1, 5001, 0, 5047, good},
      {"reversed", 2, 5047, 5047, 5047, Pem({&p.inter, &p.root})},
      {"broken Base64", 2, 5001, 5047, 5047, corrupt},
      {"second block cut", 2, 5001, 5047, 5047, good, int(good.size()) - 40},
      {"no PEM block", 2, 5001, 5047, 5047, "hello"},
  };
  for (const Row& row : rows) {
    KXSetVerifyCertlinkMethod(row.method);
    const int length =
        row.length == all ? static_cast<int>(row.text.size()) : row.length;
    EXPECT_EQ(KXLoadTrusts(row.text.c_str(), length), row.expected) << row.name;
    KXSetVerifyCertlinkMethod(2);
    EXPECT_EQ(Check(p.leafOfRoot), row.leafOfRoot) << row.name;
    EXPECT_EQ(Check(p.leafOfInter), row.leafOfInter) << row.name;
    Erase({&p.root, &p.inter});
  }
}

// Adding, replacing and erasing while other threads check: the root stays,
// so its leaf always passes; the intermediate and eight other roots come and
// go (run it under the sanitizers).
TEST_F(Trust, ThreadsAddEraseAndCheckAtOnce) {
  const Sm2Pki& p = P();
  std::vector<const Credential*> churn = {&p.inter};
  std::vector<Credential> roots;
  for (int i = 0; i < 8; ++i)
    roots.push_back(Make("Churn", nullptr, {-10, 3650}, true));
  for (const Credential& c : roots) churn.push_back(&c);
  ASSERT_EQ(Add(p.root), 0);
  std::atomic<int> failures{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> mutators, checkers;
  for (int t = 0; t < 2; ++t) {
    mutators.emplace_back([&] {
      for (int i = 0; i < 40; ++i) {
        for (const Credential* c : churn) failures += Add(*c) != 0;
        for (const Credential* c : churn) {
          const int rc = KXTrustEraseX509(c->cert.get());
          failures += rc != 0 && rc != 5032;
        }
      }
    });
    checkers.emplace_back([&] {
      for (size_t i = 0; !stop; ++i) {
        failures += Check(p.leafOfRoot) != 0;
        for (const Credential* c : {&p.leafOfInter, churn[i % churn.size()]}) {
          const int rc = Check(*c);
          failures += rc != 0 && rc != 5047;
        }
      }
    });
  }
  for (std::thread& t : mutators) t.join();
  stop = true;
  for (std::thread& t : checkers) t.join();
  EXPECT_EQ(failures.load(), 0);
  Erase(churn);
}

// trust.txt beside a private copy of libKXCommon, read by trust_probe, which
// prints the library directory and the codes of the leaf of the root, the
// leaf of the intermediate and a root not in the file.
TEST(TrustFile, ReadOnceWithoutReentering) {
  Dl_info info{};
  ASSERT_NE(dladdr(reinterpret_cast<const void*>(&KXLog), &info), 0);
  const fs::path dir =
      fs::temp_directory_path() / ("kxtrust_" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  fs::copy_file(fs::canonical(info.dli_fname), dir / "libKXCommon.so.1.0.0");
  fs::create_symlink("libKXCommon.so.1.0.0", dir / "libKXCommon.so.1");
  std::string certs;
  for (const Credential* c :
       {&P().leafOfRoot, &P().leafOfInter, &P().otherRoot}) {
    const fs::path file = dir / ("cert" + std::to_string(certs.size()));
    std::ofstream(file) << kit::Pem(c->cert.get());
    certs += " '" + file.string() + "'";
  }
  const Credential *root = &P().root, *inter = &P().inter;
  const std::string notFound = "not find trust " + dir.string() + "/trust.txt";
  struct Row {
    const char* name;
    int method;
    std::vector<const Credential*> file;  // empty: no trust.txt
    std::string codes;
    std::string logged;  // empty: no "not find trust" line
  } rows[] = {
      {"root and intermediate", 2, {root, inter}, "0 0 5047", ""},
      // The intermediate's own check sees the empty store and stops the
      // loading; reading the file again from there would never end.
      {"reversed", 2, {inter, root}, "5047 5047 5047", "KXLoadTrusts==>5047"},
      {"no file", 2, {}, "5047 5047 5047", notFound},
      {"method 0 reads no file", 0, {}, "0 0 0", ""},
  };
  for (const Row& row : rows) {
    fs::remove(dir / "trust.txt");
    fs::remove(dir / "probe.log");
    if (!row.file.empty()) std::ofstream(dir / "trust.txt") << Pem(row.file);
    const std::string cmd = "LD_LIBRARY_PATH='" + dir.string() +
                            "' timeout 30 '" KX_TRUST_PROBE "' " +
                            std::to_string(row.method) + " '" +
                            (dir / "probe.log").string() + "'" + certs;
    FILE* pipe = popen(cmd.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char out[4096] = {0};
    const std::string text(out, fread(out, 1, sizeof out - 1, pipe));
    EXPECT_EQ(pclose(pipe), 0) << row.name;
    EXPECT_EQ(text, dir.string() + "/ " + row.codes + "\n") << row.name;
    std::stringstream log;
    log << std::ifstream(dir / "probe.log").rdbuf();
    if (row.logged.empty())
      EXPECT_EQ(log.str().find("not find trust"), std::string::npos)
          << row.name;
    else
      EXPECT_NE(log.str().find(row.logged), std::string::npos) << row.name;
  }
  fs::remove_all(dir);
}

}  // namespace
