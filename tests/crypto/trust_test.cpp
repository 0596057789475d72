// The trust store and chain checks, over certificate hierarchies made by the
// fixture kit with OpenSSL. Every test sets the method it needs and erases
// what it stored, so the tests also pass when run in one process; the trust
// file is tested in processes of their own beside a private library copy.
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

#include "KXCrypto.h"
#include "KXError.h"
#include "KXLog.h"
#include "KXTrust.h"
#include "crypto/crypto_kit.h"
#include "fixtures.h"

namespace {

namespace fs = std::filesystem;
using fx::Credential;
using fx::KeyType;

Credential Make(KeyType type, const char* cn, const Credential* issuer,
                std::pair<long, long> days, bool ca, bool keyIds = true,
                int rsaBits = 2048) {
  fx::CertSpec spec;
  spec.keyType = type;
  spec.subject = {"CN", "Trust Test", "", cn};
  spec.ca = ca;
  spec.keyIdentifiers = keyIds;
  spec.rsaBits = rsaBits;
  spec.periodDays = days;
  return fx::MakeCredential(spec, issuer);
}

// The hierarchies, made once per process (RSA only where a test needs it).
// Roots are valid from 10 days ago for ten years, so that leaves made later
// with nearby periods nest.
struct Sm2Pki {
  Credential root = Make(KeyType::kSm2, "SM2 Root", nullptr, {-10, 3650}, true);
  Credential inter = Make(KeyType::kSm2, "SM2 Sub", &root, {-5, 1800}, true);
  Credential leafOfInter =
      Make(KeyType::kSm2, "Leaf I", &inter, {-1, 700}, false);
  Credential leafOfRoot =
      Make(KeyType::kSm2, "Leaf R", &root, {-1, 700}, false);
  Credential otherRoot =
      Make(KeyType::kSm2, "Other Root", nullptr, {-10, 3650}, true);
  // Periods against the root.
  Credential early = Make(KeyType::kSm2, "Early", &root, {-20, 100}, false);
  Credential late = Make(KeyType::kSm2, "Late", &root, {-1, 4000}, false);
  Credential expired = Make(KeyType::kSm2, "Expired", &root, {-9, -1}, false);
  Credential notYet = Make(KeyType::kSm2, "Not Yet", &root, {1, 100}, false);
  // Roots that threads add and erase while others check.
  std::vector<Credential> churn = Roots(8);
  // Names the root by key identifier and name, but signed by another key.
  Credential forged = Forge();
  // The root with one bit of its self-signature flipped.
  Credential badRoot = FlipSignatureBit();

  static std::vector<Credential> Roots(int count) {
    std::vector<Credential> roots;
    for (int i = 0; i < count; ++i)
      roots.push_back(Make(KeyType::kSm2,
                           ("Churn " + std::to_string(i)).c_str(), nullptr,
                           {-10, 3650}, true));
    return roots;
  }
  Credential Forge() const {
    Credential impostor = root;
    impostor.key = fx::MakeKey(KeyType::kSm2);
    return Make(KeyType::kSm2, "Forged", &impostor, {-1, 700}, false);
  }
  Credential FlipSignatureBit() const {
    Credential bad = root;
    bad.cert.reset(X509_dup(root.cert.get()), X509_free);
    const ASN1_BIT_STRING* sig = nullptr;
    X509_get0_signature(&sig, nullptr, bad.cert.get());
    const_cast<ASN1_BIT_STRING*>(sig)->data[10] ^= 1;  // inside r
    return bad;
  }
};

// RSA roots of two sizes under one name, without key identifiers: their
// leaves are found by signature type and issuer name.
struct RsaPki {
  Credential root4096 =
      Make(KeyType::kRsa, "RSA Root", nullptr, {-10, 3650}, true, false, 4096);
  Credential root2048 =
      Make(KeyType::kRsa, "RSA Root", nullptr, {-10, 3650}, true, false, 2048);
  Credential leafOf4096 =
      Make(KeyType::kRsa, "RSA Leaf", &root4096, {-1, 700}, false, false);
  Credential leafOf2048 =
      Make(KeyType::kRsa, "RSA Leaf", &root2048, {-1, 700}, false, false);
  // A leaf whose start time is not a time, signed again after the change.
  Credential badTime = BadStartTime();

  Credential BadStartTime() const {
    Credential c =
        Make(KeyType::kRsa, "Bad Time", &root2048, {-1, 700}, false, false);
    ASN1_STRING_set(X509_getm_notBefore(c.cert.get()), "2401ZZ", 6);
    X509_sign(c.cert.get(), root2048.key.get(), EVP_sha256());
    return c;
  }
};

const Sm2Pki& P() {
  static const Sm2Pki pki;
  return pki;
}
const RsaPki& R() {
  static const RsaPki pki;
  return pki;
}

std::string Pem(const std::vector<const Credential*>& certs) {
  std::string out;
  for (const Credential* c : certs) out += kit::Pem(c->cert.get());
  return out;
}

// Each test starts from method 2 and an empty store and leaves both so.
class Trust : public ::testing::Test {
 protected:
  void SetUp() override { KXSetVerifyCertlinkMethod(2); }
  void TearDown() override {
    Clear();
    KXSetVerifyCertlinkMethod(1);
  }
  // Adds and remembers the certificate for erasing.
  int Add(const Credential& c) {
    const int rc = KXTrustAddX509(c.cert.get());
    if (rc == 0) added_.push_back(c.cert.get());
    return rc;
  }
  int Load(const std::string& text, int length) {
    const int rc = KXLoadTrusts(text.c_str(), length);
    // Whatever was stored: erasing what is not there does no harm.
    for (const Credential* c : {&P().root, &P().inter})
      added_.push_back(c->cert.get());
    return rc;
  }
  void Clear() {
    for (X509* cert : added_) KXTrustEraseX509(cert);
    added_.clear();
  }
  static int Check(const Credential& c, bool period = false) {
    return KXVerifyCertLink(c.cert.get(), period);
  }

  std::vector<X509*> added_;
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
      {"nothing stored", {}, &p.leafOfRoot, false, 5047},
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
    Clear();
  }
}

TEST_F(Trust, MethodSwitch) {
  ASSERT_EQ(Add(P().root), 0);
  struct Row {
    int set;
    int leafOfRoot;   // its issuer is stored
    int leafOfInter;  // its issuer is not
  } rows[] = {
      // Unknown values leave the method as it was.
      {0, 0, 0}, {7, 0, 0}, {-1, 0, 0}, {1, 5001, 5001}, {2, 0, 5047},
  };
  for (const Row& row : rows) {
    KXSetVerifyCertlinkMethod(row.set);
    EXPECT_EQ(Check(P().leafOfRoot), row.leafOfRoot) << row.set;
    EXPECT_EQ(Check(P().leafOfInter), row.leafOfInter) << row.set;
  }
  KXSetVerifyCertlinkMethod(1);
  EXPECT_EQ(KXVerifyCertLinkbySystem(P().leafOfRoot.cert.get(), false), 5001);
  EXPECT_EQ(KXVerifyCertLinkbyFile(P().leafOfRoot.cert.get(), true), 0);
  EXPECT_EQ(KXTrustAddCrl(), 5001);
}

// Adding runs the chain check under the current method (issuers first);
// self-issued certificates verify with their own key.
TEST_F(Trust, AddsUnderTheMethodInAndOutOfOrder) {
  const Sm2Pki& p = P();
  struct Step {
    const Credential* cert;
    int expected;
  };
  struct Row {
    const char* name;
    int method;
    std::vector<Step> steps;
    const Credential* checked;  // checked under method 2 afterwards
    int check;
  } rows[] = {
      {"method 1 refuses the intermediate",
       1,
       {{&p.root, 0}, {&p.inter, 5001}},
       &p.leafOfInter,
       5047},
      {"intermediate before its root",
       2,
       {{&p.inter, 5047}, {&p.root, 0}, {&p.inter, 0}},
       &p.leafOfInter,
       0},
      {"method 0 stores without checking",
       0,
       {{&p.inter, 0}},
       &p.leafOfInter,
       0},
      {"self-issued with a bad signature",
       2,
       {{&p.badRoot, 5011}},
       &p.leafOfRoot,
       5047},
  };
  for (const Row& row : rows) {
    KXSetVerifyCertlinkMethod(row.method);
    for (const Step& s : row.steps)
      EXPECT_EQ(Add(*s.cert), s.expected) << row.name;
    KXSetVerifyCertlinkMethod(2);
    EXPECT_EQ(Check(*row.checked), row.check) << row.name;
    Clear();
  }
  EXPECT_EQ(KXTrustAddX509(nullptr), 5002);
}

// One entry per key: the root added twice is gone after one erase.
TEST_F(Trust, Erases) {
  EXPECT_EQ(KXTrustAddX509(P().root.cert.get()), 0);
  EXPECT_EQ(KXTrustAddX509(P().root.cert.get()), 0);
  EXPECT_EQ(KXTrustEraseX509(P().root.cert.get()), 0);
  EXPECT_EQ(Check(P().leafOfRoot), 5047);
  EXPECT_EQ(KXTrustEraseX509(P().root.cert.get()), 5032);
  EXPECT_EQ(KXTrustEraseX509(P().inter.cert.get()), 5032);
  EXPECT_EQ(KXTrustEraseX509(nullptr), 5002);
}

TEST_F(Trust, LoadsPemText) {
  const Sm2Pki& p = P();
  const std::string good = Pem({&p.root, &p.inter});
  std::string corrupt = good;
  corrupt[corrupt.find("-----\n") + 20] = '*';
  struct Row {
    const char* name;
    int method;
    std::string text;
    int length;  // -2: the whole string
    int expected;
    int leafOfRoot, leafOfInter;  // checks afterwards, method 2
  } rows[] = {
      {"root and intermediate", 2, good, -2, 0, 0, 0},
      {"up to the NUL", 2, good, -1, 0, 0, 0},
      {"method 1 keeps the root only", 1, good, -2, 5001, 0, 5047},
      {"intermediate first stops there", 2, Pem({&p.inter, &p.root}), -2, 5047,
       5047, 5047},
      {"broken Base64", 2, corrupt, -2, 5001, 5047, 5047},
      {"second block cut short", 2, good, static_cast<int>(good.size() - 40),
       5001, 5047, 5047},
      {"no PEM block", 2, "hello", -2, 5001, 5047, 5047},
      {"empty", 2, "", -2, 5001, 5047, 5047},
  };
  for (const Row& row : rows) {
    KXSetVerifyCertlinkMethod(row.method);
    const int length =
        row.length == -2 ? static_cast<int>(row.text.size()) : row.length;
    EXPECT_EQ(Load(row.text, length), row.expected) << row.name;
    KXSetVerifyCertlinkMethod(2);
    EXPECT_EQ(Check(p.leafOfRoot), row.leafOfRoot) << row.name;
    EXPECT_EQ(Check(p.leafOfInter), row.leafOfInter) << row.name;
    Clear();
  }
  EXPECT_EQ(KXLoadTrusts(nullptr, 10), 5002);
}

// Adding, replacing and erasing while other threads check: the root stays,
// so its leaf always passes; the intermediate and the other roots come and
// go under the checks of their certificates.
TEST_F(Trust, ThreadsAddEraseAndCheckAtOnce) {
  const Sm2Pki& p = P();
  ASSERT_EQ(Add(p.root), 0);
  std::atomic<int> failures{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> mutators, checkers;
  for (int t = 0; t < 2; ++t)
    mutators.emplace_back([&] {
      for (int i = 0; i < 40; ++i) {
        if (KXTrustAddX509(p.inter.cert.get()) != 0) ++failures;
        for (const Credential& c : p.churn)
          if (KXTrustAddX509(c.cert.get()) != 0) ++failures;
        for (const Credential& c : p.churn) {
          const int erased = KXTrustEraseX509(c.cert.get());
          if (erased != 0 && erased != 5032) ++failures;
        }
        KXTrustEraseX509(p.inter.cert.get());
      }
    });
  for (int t = 0; t < 2; ++t)
    checkers.emplace_back([&] {
      for (size_t i = 0; !stop; ++i) {
        if (Check(p.leafOfRoot, true) != 0) ++failures;
        for (const Credential* c :
             {&p.leafOfInter, &p.churn[i % p.churn.size()]}) {
          const int rc = Check(*c, true);
          if (rc != 0 && rc != 5047) ++failures;
        }
      }
    });
  for (std::thread& t : mutators) t.join();
  stop = true;
  for (std::thread& t : checkers) t.join();
  EXPECT_EQ(failures.load(), 0);
  added_.push_back(p.inter.cert.get());
  for (const Credential& c : p.churn) added_.push_back(c.cert.get());
}

// ---------------------------------------------------------------------------
// trust.txt beside a private copy of libKXCommon, read by a probe process.

std::string LibraryFile() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<const void*>(&KXLog), &info) == 0 ||
      info.dli_fname == nullptr)
    return "";
  return fs::canonical(info.dli_fname).string();
}

class TrustFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kxtrust_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    fs::copy_file(LibraryFile(), dir_ / "libKXCommon.so.1.0.0");
    fs::create_symlink("libKXCommon.so.1.0.0", dir_ / "libKXCommon.so.1");
    const Sm2Pki& p = P();
    for (const Credential* c : {&p.leafOfRoot, &p.leafOfInter, &p.otherRoot})
      files_.push_back(
          Write("cert" + std::to_string(files_.size()) + ".der",
                std::string(c->certDer.begin(), c->certDer.end())));
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path Write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name, std::ios::binary) << text;
    return dir_ / name;
  }
  std::string Log() const {
    std::stringstream s;
    s << std::ifstream(dir_ / "probe.log").rdbuf();
    return s.str();
  }
  // The codes of the leaf of the root, of the leaf of the intermediate and
  // of a root that is not in the file; checks that the probe used this copy of
  // the library.
  std::string Run(int method) {
    std::string cmd = "LD_LIBRARY_PATH='" + dir_.string() + "' timeout 30 '" +
                      KX_TRUST_PROBE + "' " + std::to_string(method) + " '" +
                      (dir_ / "probe.log").string() + "'";
    for (const fs::path& f : files_) cmd += " '" + f.string() + "'";
    FILE* pipe = popen(cmd.c_str(), "r");
    if (pipe == nullptr) return "popen failed";
    char out[4096] = {0};
    const size_t n = fread(out, 1, sizeof out - 1, pipe);
    const int status = pclose(pipe);
    std::string text(out, n);
    const std::string dll = dir_.string() + "/ ";
    EXPECT_EQ(text.substr(0, dll.size()), dll);
    EXPECT_EQ(status, 0) << text;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text.substr(std::min(dll.size(), text.size()));
  }

  fs::path dir_;
  std::vector<fs::path> files_;
};

TEST_F(TrustFile, RootAndIntermediateAreRead) {
  Write("trust.txt", Pem({&P().root, &P().inter}));
  EXPECT_EQ(Run(2), "0 0 5047");
  EXPECT_EQ(Log().find("not find trust"), std::string::npos);
}

// Reading the file must not re-enter itself: the intermediate's check sees
// the empty store and stops the loading with 5047; later checks read the
// file again and stop the same way.
TEST_F(TrustFile, FirstCertificateNotSelfIssuedStopsTheLoading) {
  Write("trust.txt", Pem({&P().inter, &P().root}));
  EXPECT_EQ(Run(2), "5047 5047 5047");
  EXPECT_NE(Log().find("KXLoadTrusts==>5047"), std::string::npos);
}

TEST_F(TrustFile, MissingFileIsLoggedAndMethodZeroNeverReadsIt) {
  EXPECT_EQ(Run(0), "0 0 0");
  EXPECT_EQ(Log().find("not find trust"), std::string::npos);
  EXPECT_EQ(Run(2), "5047 5047 5047");
  EXPECT_NE(Log().find("not find trust " + dir_.string() + "/trust.txt"),
            std::string::npos);
}

}  // namespace
