// ofdseal verify with and without trust anchors: certificate chains, the
// seal's owner, and the validity periods at the signing time, for seal and
// PKCS#7 signatures. Certificates are dated relative to now with margins of a
// day or more.
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/pem.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "fixtures.h"
#include "ofd_kit.h"
#include "ofdseal_run.h"
#include "pkcs7_kit.h"

namespace {

using fx::Credential;
using fx::Family;
using nlohmann::json;
using ofdtest::RunOfdseal;
using ofdtest::Scratch;

const time_t kNow = time(nullptr);
const time_t kDay = 24 * 3600;
const time_t kYear = 365 * kDay;

Credential Cert(const std::string& cn, const Credential* issuer, time_t from,
                time_t to, bool ca = false, bool keyIds = true,
                std::shared_ptr<EVP_PKEY> key = nullptr) {
  fx::CertSpec p;
  p.subject = {"CN", "信任测试", "", cn};
  p.ca = ca;
  p.keyIdentifiers = keyIds;
  p.notBefore = from;
  p.notAfter = to;
  p.key = std::move(key);
  return fx::MakeCredential(p, issuer);
}

std::string Pem(const std::vector<Credential>& certs) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  for (const Credential& c : certs) PEM_write_bio_X509(bio.get(), c.cert.get());
  char* data = nullptr;
  long len = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(len));
}

// The anchors of the tests: a root, an intermediate under it, and an
// intermediate whose own root is not trusted.
struct Pki {
  Credential root =
      Cert("Root", nullptr, kNow - 5 * kYear, kNow + 10 * kYear, true);
  Credential intermediate =
      Cert("Intermediate", &root, kNow - 4 * kYear, kNow + 8 * kYear, true);
  Credential otherRoot =
      Cert("Other Root", nullptr, kNow - 5 * kYear, kNow + 10 * kYear, true);
  Credential lonely = Cert("Lonely Intermediate", &otherRoot, kNow - 4 * kYear,
                           kNow + 8 * kYear, true);
  Credential maker = Leaf("Maker", root);
  Credential signer = Leaf("Signer", root);
  // Under the root, but not a trust anchor: PKCS#7 signers carry it.
  Credential subCa =
      Cert("Sub CA", &root, kNow - 4 * kYear, kNow + 8 * kYear, true);
  std::string anchors = Pem({root, intermediate, lonely});

  static Credential Leaf(const std::string& cn, const Credential& issuer) {
    return Cert(cn, &issuer, kNow - 3 * kYear, kNow + 5 * kYear);
  }
};

const Pki& TestPki() {
  static const Pki pki;
  return pki;
}

struct Doc {
  Family family = Family::kGov;
  Credential signer;
  fx::SealSpec seal = fx::SealSpec();  // maker: the test PKI's; owner: signer
  std::optional<time_t> signTime = std::nullopt;
};

Doc By(Family family, const Credential& signer) { return {family, signer}; }

// A copy of a real seal, with its owner list, signed by a self-signed maker
// and used by a self-signed signer.
Doc Forged() {
  Doc d = By(Family::kGov, Cert("Forger", nullptr, kNow - kYear, kNow + kYear));
  d.seal.name = "FORGED 任意机关公章";
  d.seal.maker = Cert("Forger Maker", nullptr, kNow - kYear, kNow + kYear);
  d.seal.ownerCerts = std::vector<fx::Bytes>{TestPki().signer.certDer};
  return d;
}

fx::ofd::Package Sealed(Doc d) {
  if (!d.seal.maker) d.seal.maker = TestPki().maker;
  if (!d.seal.ownerCerts)
    d.seal.ownerCerts = std::vector<fx::Bytes>{d.signer.certDer};
  fx::ofd::Sealing s;
  s.family = d.family;
  s.signature.signer = d.signer;
  s.signature.seal = fx::MakeSeal(d.family, d.seal);
  s.signature.signTime = d.signTime;
  fx::ofd::Package doc = fx::ofd::MakeDocument();
  fx::ofd::AddSignature(&doc, s);
  return doc;
}

// ofdseal verify of the document, with the test anchors when `trusted`.
ofdtest::Run Verify(const fx::ofd::Package& doc, bool trusted, bool asJson) {
  Scratch scratch;
  fx::ofd::WriteZip(doc, scratch.Path("doc.ofd"));
  std::ofstream(scratch.Path("anchors.pem")) << TestPki().anchors;
  std::vector<std::string> args = {"verify", "--no-default-trust"};
  if (asJson) args.push_back("--json");
  if (trusted)
    args.insert(args.end(), {"--trust", scratch.Path("anchors.pem")});
  args.push_back(scratch.Path("doc.ofd"));
  return RunOfdseal(args);
}

std::string Problems(const json& sig) {
  std::string out;
  for (const json& p : sig["problems"]) out += p.get<std::string>() + "|";
  return out;
}

void ExpectChain(const json& cert, const std::string& expected) {
  if (expected == "trusted" || expected == "not checked") {
    EXPECT_EQ(cert["chain"]["status"], expected) << cert.dump(2);
  } else {
    EXPECT_EQ(cert["chain"]["status"], "untrusted");
    EXPECT_EQ(cert["chain"]["reason"], expected);
  }
}

TEST(OfdsealTrust, VerdictsWithAndWithoutAnchors) {
  const Pki& pki = TestPki();
  const Credential stranger = Pki::Leaf("Stranger", pki.otherRoot);
  const Credential viaIntermediate = Pki::Leaf("Deep", pki.intermediate);
  const Credential viaLonely = Pki::Leaf("Lonely", pki.lonely);
  // Named like the root, signed by another key, found by name.
  const Credential fakeRoot =
      Cert("Root", nullptr, kNow - 5 * kYear, kNow + 10 * kYear, true);
  const Credential impostor =
      Cert("Impostor", &fakeRoot, kNow - kYear, kNow + kYear, false, false);
  const Credential outside =
      Cert("Outside", &pki.intermediate, kNow - kYear, kNow + 9 * kYear);
  const Credential expired =
      Cert("Expired", &pki.root, kNow - 3 * kYear, kNow - kDay);

  struct Row {
    const char* name;
    Doc doc;
    const char* without;      // verdict without anchors
    const char* with;         // verdict with the test anchors
    const char* problem;      // in both reports; "" none without anchors
    const char* makerChain;   // with anchors: "trusted" or the reason
    const char* signerChain;  // with anchors
    bool owner;
  };
  Doc expiredSeal = By(Family::kGov, pki.signer);
  expiredSeal.seal.validStart = kNow - 2 * kYear;
  expiredSeal.seal.validEnd = kNow - kDay;
  Doc futureSeal = By(Family::kPlain, pki.signer);
  futureSeal.seal.validStart = kNow + 30 * kDay;
  Doc signedInTime = By(Family::kGov, expired);
  signedInTime.signTime = kNow - 2 * kYear;
  signedInTime.seal.validStart = kNow - 3 * kYear;
  Doc otherOwner = By(Family::kGin, pki.signer);
  otherOwner.seal.ownerCerts = std::vector<fx::Bytes>{viaIntermediate.certDer};
  // The property calls show the first owner only; the library checks all.
  Doc secondOwner = By(Family::kGov, pki.signer);
  secondOwner.seal.ownerCerts =
      std::vector<fx::Bytes>{viaIntermediate.certDer, pki.signer.certDer};
  Doc byDigest = By(Family::kGin, pki.signer);
  byDigest.seal.ginCertDigests = std::vector<fx::CertDigestSpec>{
      {"2.16.840.1.101.3.4.2.1", fx::Sha256(pki.signer.certDer)}};
  const Doc forged = Forged();
  Doc forgedOwn = forged;
  forgedOwn.seal.ownerCerts = std::vector<fx::Bytes>{forged.signer.certDer};

  const Row rows[] = {
      {"chain to the root", By(Family::kGov, pki.signer), "valid (untrusted)",
       "valid", "", "trusted", "trusted", true},
      {"through a trusted intermediate", By(Family::kPlain, viaIntermediate),
       "valid (untrusted)", "valid", "", "trusted", "trusted", true},
      {"trusted intermediate without its root", By(Family::kGin, viaLonely),
       "valid (untrusted)", "valid", "", "trusted", "trusted", true},
      {"unknown issuer", By(Family::kGov, stranger), "valid (untrusted)",
       "invalid", "", "trusted", "unknown issuer", true},
      {"bad issuer signature", By(Family::kPlain, impostor),
       "valid (untrusted)", "invalid", "", "trusted", "bad issuer signature",
       true},
      {"validity beyond the issuer's", By(Family::kGov, outside),
       "valid (untrusted)", "invalid", "", "trusted",
       "validity outside the issuer's", true},
      {"signer expired at the signing time", By(Family::kGov, expired),
       "invalid", "invalid", "not valid at the signing time", "trusted",
       "trusted", true},
      {"signed before the signer expired", signedInTime, "valid (untrusted)",
       "valid", "", "trusted", "trusted", true},
      {"seal expired at the signing time", expiredSeal, "invalid", "invalid",
       "signed outside the seal's validity period", "trusted", "trusted", true},
      {"seal not yet valid at the signing time", futureSeal, "invalid",
       "invalid", "signed outside the seal's validity period", "trusted",
       "trusted", true},
      {"owner named by a SHA-256 digest", byDigest, "valid (untrusted)",
       "valid", "", "trusted", "trusted", true},
      {"seal of another owner", otherOwner, "invalid", "invalid",
       "not an owner of the seal", "trusted", "trusted", false},
      {"signer is the seal's second owner", secondOwner, "valid (untrusted)",
       "valid", "", "trusted", "trusted", true},
      {"forged seal over a copied owner list", forged, "invalid", "invalid",
       "not an owner of the seal", "unknown issuer", "unknown issuer", false},
      {"forged seal naming its forger", forgedOwn, "valid (untrusted)",
       "invalid", "", "unknown issuer", "unknown issuer", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const fx::ofd::Package doc = Sealed(row.doc);
    for (bool trusted : {false, true}) {
      SCOPED_TRACE(trusted ? "with anchors" : "without anchors");
      ofdtest::Run run = Verify(doc, trusted, true);
      const char* verdict = trusted ? row.with : row.without;
      EXPECT_EQ(run.code, std::string(verdict) == "invalid" ? 1 : 0);
      const json j = json::parse(run.out, nullptr, false);
      ASSERT_FALSE(j.is_discarded()) << run.out << run.err;
      EXPECT_EQ(j["verdict"], verdict);
      EXPECT_EQ(j["trust"]["checked"], trusted);
      const json& sig = j["signatures"][0];
      EXPECT_EQ(sig["verdict"], verdict);
      EXPECT_EQ(sig["signer"]["owner"], row.owner);
      // The library refuses a signer who does not own the seal too.
      EXPECT_EQ(sig["result"]["code"], row.owner ? 0 : 5032);
      const std::string problems = Problems(sig);
      EXPECT_NE(problems.find(row.problem), std::string::npos) << problems;
      if (!trusted && std::string(row.problem).empty()) {
        EXPECT_EQ(problems, "");
      }
      ExpectChain(sig["seal"]["maker"],
                  trusted ? row.makerChain : "not checked");
      ExpectChain(sig["signer"], trusted ? row.signerChain : "not checked");
    }
  }
}

// A document signed with PKCS#7 signed data over Signature.xml.
fx::ofd::Package SignedPkcs7(const fx::Pkcs7Spec& params) {
  fx::ofd::Sealing s;
  s.type = "Sign";
  s.pkcs7 = params;
  fx::ofd::Package doc = fx::ofd::MakeDocument();
  fx::ofd::AddSignature(&doc, s);
  return doc;
}

fx::Pkcs7Spec SignedBy(const Credential& signer,
                       std::optional<time_t> signingTime,
                       std::vector<Credential> carried = {}) {
  fx::Pkcs7Spec params;
  params.signer = signer;
  params.signingTime = signingTime;
  carried.insert(carried.begin(), signer);
  params.certificates = std::vector<fx::Bytes>();
  for (const Credential& c : carried) params.certificates->push_back(c.certDer);
  return params;
}

// The PKCS#7 signer: chain through the certificates the signature carries,
// which never end it, and validity at the signing time it carries, or now.
TEST(OfdsealTrust, Pkcs7Signer) {
  const Pki& pki = TestPki();
  const Credential underSub = Pki::Leaf("Under Sub CA", pki.subCa);
  const Credential stranger = Pki::Leaf("Stranger", pki.otherRoot);
  const Credential expired =
      Cert("Expired", &pki.root, kNow - 3 * kYear, kNow - kDay);
  struct Row {
    const char* name;
    fx::Pkcs7Spec params;
    const char* without;  // verdict without anchors
    const char* with;     // with the test anchors
    const char* problem;  // in both reports; "" none without anchors
    const char* chain;    // with anchors: "trusted" or the reason
    bool carriedLink;     // the chain went through a carried certificate
  };
  const Row rows[] = {
      {"chain to the root", SignedBy(pki.signer, kNow - kDay),
       "valid (untrusted)", "valid", "", "trusted", false},
      {"intermediate carried in the signature",
       SignedBy(underSub, kNow - kDay, {pki.subCa}), "valid (untrusted)",
       "valid", "", "trusted", true},
      {"intermediate not carried", SignedBy(underSub, kNow - kDay),
       "valid (untrusted)", "invalid", "", "unknown issuer", false},
      {"carried root is no anchor",
       SignedBy(stranger, kNow - kDay, {pki.otherRoot}), "valid (untrusted)",
       "invalid", "", "unknown issuer", true},
      {"signer expired at the signing time", SignedBy(expired, kNow), "invalid",
       "invalid", "was not valid at the signing time", "trusted", false},
      {"no signing time, valid now", SignedBy(pki.signer, std::nullopt),
       "valid (untrusted)", "valid", "", "trusted", false},
      {"no signing time, expired now", SignedBy(expired, std::nullopt),
       "invalid", "invalid", "not valid now", "trusted", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const fx::ofd::Package doc = SignedPkcs7(row.params);
    for (bool trusted : {false, true}) {
      SCOPED_TRACE(trusted ? "with anchors" : "without anchors");
      ofdtest::Run run = Verify(doc, trusted, true);
      const char* verdict = trusted ? row.with : row.without;
      EXPECT_EQ(run.code, std::string(verdict) == "invalid" ? 1 : 0);
      const json j = json::parse(run.out, nullptr, false);
      ASSERT_FALSE(j.is_discarded()) << run.out << run.err;
      const json& sig = j["signatures"][0];
      EXPECT_EQ(sig["verdict"], verdict);
      EXPECT_EQ(sig["result"]["code"], 0);
      EXPECT_EQ(sig["signing_time"] == "", !row.params.signingTime);
      const std::string problems = Problems(sig);
      EXPECT_NE(problems.find(row.problem), std::string::npos) << problems;
      if (!trusted && std::string(row.problem).empty()) {
        EXPECT_EQ(problems, "");
      }
      ExpectChain(sig["signer"], trusted ? row.chain : "not checked");
      EXPECT_EQ(sig["signer"]["chain"]["carried"].size(),
                trusted && row.carriedLink ? 1u : 0u);
    }
  }
}

TEST(OfdsealTrust, TextReport) {
  const Pki& pki = TestPki();
  const fx::ofd::Package good = Sealed(By(Family::kGov, pki.signer));
  const fx::ofd::Package bad = Sealed(Forged());
  const fx::ofd::Package pkcs7 = SignedPkcs7(
      SignedBy(Pki::Leaf("Under Sub CA", pki.subCa), kNow - kDay, {pki.subCa}));
  struct Row {
    const fx::ofd::Package* doc;
    bool trusted;
    std::vector<std::string> lines;
  };
  const Row rows[] = {
      {&good,
       false,
       {"Trust: none, certificates not checked against trust anchors\n",
        "  Maker chain:    not checked against trust anchors\n",
        "  Seal owner:     yes, the signer is an owner of the seal\n",
        "  Verdict:        valid (untrusted)\n",
        "Result: valid (untrusted), 1 of 1 signature valid; certificates not "
        "checked against trust anchors\n"}},
      {&good,
       true,
       {"  Signer chain:   trusted via C=CN,O=信任测试,CN=Root\n",
        "  Verdict:        valid\n",
        "Result: valid, 1 of 1 signature valid\n"}},
      {&bad,
       true,
       {"  Seal:           GOV family, FORGED 任意机关公章",
        "  Seal owner:     no, the signer is not an owner of the seal\n",
        "  Maker chain:    untrusted: unknown issuer\n",
        "  Signer chain:   untrusted: unknown issuer\n",
        "  Problem:        the signer's certificate does not chain to a trust "
        "anchor (unknown issuer)\n",
        "Result: invalid, 0 of 1 signature valid\n"}},
      {&pkcs7,
       true,
       {"Signature 1 of 1: ID 1, type Sign\n",
        "  Signer:         C=CN,O=信任测试,CN=Under Sub CA\n",
        "  Signer chain:   trusted via C=CN,O=信任测试,CN=Sub CA (carried in "
        "the signature), then C=CN,O=信任测试,CN=Root\n",
        "  PKCS#7:         detached content, signed attributes, SM3 digest, 2 "
        "certificates\n",
        "  PKCS#7 result:  0 成功\n", "  Verdict:        valid\n"}},
  };
  for (const Row& row : rows) {
    ofdtest::Run run = Verify(*row.doc, row.trusted, false);
    EXPECT_NE(run.out.find(row.trusted ? "Trust: 3 certificates from /"
                                       : "Trust: none"),
              std::string::npos);
    for (const std::string& line : row.lines)
      EXPECT_NE(run.out.find(line), std::string::npos) << line << run.out;
    // A PKCS#7 signature involves no seal: no seal, owner or maker lines.
    if (row.doc == &pkcs7) {
      EXPECT_EQ(run.out.find("Seal"), std::string::npos) << run.out;
      EXPECT_EQ(run.out.find("not supported"), std::string::npos);
    }
  }
}

// The trust folders: $XDG_CONFIG_HOME/ofdseal/trust.d, else
// $HOME/.config/ofdseal/trust.d; *.pem and *.crt files only.
TEST(OfdsealTrust, DefaultFolders) {
  const Pki& pki = TestPki();
  Scratch scratch;
  fx::ofd::WriteZip(Sealed(By(Family::kGov, pki.signer)),
                    scratch.Path("d.ofd"));
  const std::string xdg = scratch.Path("xdg");
  const std::string home = scratch.Path("home");
  namespace fs = std::filesystem;
  fs::create_directories(xdg + "/ofdseal/trust.d");
  fs::create_directories(home + "/.config/ofdseal/trust.d");
  std::ofstream(xdg + "/ofdseal/trust.d/anchors.pem") << pki.anchors;
  std::ofstream(xdg + "/ofdseal/trust.d/broken.pem") << "no certificate";
  std::ofstream(home + "/.config/ofdseal/trust.d/anchors.crt") << pki.anchors;
  struct Row {
    std::string xdgConfigHome;  // HOME is `home`; empty: unset
    bool noDefault;
    const char* verdict;
    const char* err;  // part of standard error
  };
  const Row rows[] = {
      {xdg, false, "valid", "broken.pem' holds no PEM certificate"},
      {"", false, "valid", ""},
      {"relative", false, "valid", ""},  // ignored: HOME's folder counts
      {xdg, true, "valid (untrusted)", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.xdgConfigHome + (row.noDefault ? " off" : ""));
    std::vector<std::string> args = {"verify", "--json"};
    if (row.noDefault) args.push_back("--no-default-trust");
    args.push_back(scratch.Path("d.ofd"));
    const ofdtest::Env env = {{"XDG_CONFIG_HOME", row.xdgConfigHome},
                              {"HOME", home}};
    ofdtest::Run run = RunOfdseal(args, scratch.Path(""), env);
    const json j = json::parse(run.out, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << run.out;
    EXPECT_EQ(j["verdict"], row.verdict);
    EXPECT_NE(run.err.find(row.err), std::string::npos) << run.err;
  }
}

// A chain of nine certificates is refused, one of eight accepted; two
// certificates that issued each other end the walk.
TEST(OfdsealTrust, ChainLengthAndLoops) {
  const time_t from = kNow - kYear, to = kNow + kYear;
  std::vector<Credential> ladder = {Cert("Rung 0", nullptr, from, to, true)};
  for (int i = 1; i < 8; ++i)
    ladder.push_back(
        Cert("Rung " + std::to_string(i), &ladder.back(), from, to, true));
  const auto a = fx::MakeKey(fx::KeyType::kSm2);
  const auto b = fx::MakeKey(fx::KeyType::kSm2);
  const Credential a0 = Cert("A", nullptr, from, to, true, true, a);
  const Credential b1 = Cert("B", &a0, from, to, true, true, b);
  const Credential a1 = Cert("A", &b1, from, to, true, true, a);
  struct Row {
    const char* name;
    std::vector<Credential> anchors;
    Credential signer;
    const char* chain;
  };
  const Row rows[] = {
      {"eight certificates", ladder, Cert("Leaf", &ladder[6], from, to),
       "trusted"},
      {"nine certificates", ladder, Cert("Leaf", &ladder[7], from, to),
       "chain too long"},
      {"issuers of each other",
       {a1, b1},
       Cert("Leaf", &a1, from, to),
       "issuer loop"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Scratch scratch;
    fx::ofd::WriteZip(Sealed(By(Family::kGov, row.signer)),
                      scratch.Path("d.ofd"));
    std::ofstream(scratch.Path("a.pem")) << Pem(row.anchors);
    ofdtest::Run run =
        RunOfdseal({"verify", "--json", "--no-default-trust", "--trust",
                    scratch.Path("a.pem"), scratch.Path("d.ofd")});
    const json j = json::parse(run.out, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << run.out;
    ExpectChain(j["signatures"][0]["signer"], row.chain);
  }
}

}  // namespace
