// ofdseal verify on the bundled examples and on packages made by the OFD kit:
// valid documents in their variants, each broken part, and hostile archives.
// The JSON reports are read with an independent JSON parser.
#include <gtest/gtest.h>
#include <valgrind/valgrind.h>

#include <ctime>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "fixtures.h"
#include "ofd_kit.h"
#include "ofdseal_run.h"

namespace {

using fx::Bytes;
using fx::Family;
using fx::ofd::Package;
using fx::ofd::Sealing;
using nlohmann::json;
using ofdtest::RunOfdseal;
using ofdtest::Scratch;

const char kSource[] = KX_SOURCE_DIR;

json Parse(const ofdtest::Run& run) {
  json j = json::parse(run.out, nullptr, false);
  EXPECT_FALSE(j.is_discarded()) << "not JSON:\n" << run.out;
  return j;
}

// The report of `ofdseal verify --json` on the package.
struct Verified {
  int code;
  json report;
  std::string err;
};

Verified VerifyJson(const Package& doc, std::vector<std::string> extra = {}) {
  Scratch scratch;
  const std::string path = scratch.Path("doc.ofd");
  fx::ofd::WriteZip(doc, path);
  extra.insert(extra.begin(), {"verify", "--json", "--no-default-trust"});
  extra.push_back(path);
  ofdtest::Run run = RunOfdseal(extra);
  return {run.code, Parse(run), run.err};
}

Package Sealed(Family family = Family::kGov) {
  Package doc = fx::ofd::MakeDocument();
  Sealing s;
  s.family = family;
  fx::ofd::AddSignature(&doc, s);
  return doc;
}

const char kContent[] = "Doc_0/Pages/Page_0/Content.xml";
const char kSignatureXml[] = "Doc_0/Signs/Sign_0/Signature.xml";
const char kSignedValue[] = "Doc_0/Signs/Sign_0/SignedValue.dat";
const char kList[] = "Doc_0/Signs/Signatures.xml";

// ---------------------------------------------------------------------------
// The bundled examples, without trust anchors and with their root as the
// anchor: the report of each is the committed one, and the JSON report says
// the same.

struct ExampleRow {
  const char* name;
  int code;
  const char* verdict;                // without trust anchors
  const char* trustedVerdict;         // with examples/example-root.pem
  std::vector<std::string> families;  // one per signature; "": PKCS#7
  std::vector<unsigned> results;      // library result per signature
  std::vector<std::string> changed;   // references not "ok"
};

const ExampleRow kExamples[] = {
    {"plain-sm2", 0, "valid (untrusted)", "valid", {"plain"}, {0}, {}},
    {"gin-sm2", 0, "valid (untrusted)", "valid", {"GIN"}, {0}, {}},
    {"gov-rsa", 0, "valid (untrusted)", "valid", {"GOV"}, {0}, {}},
    {"two-signatures",
     0,
     "valid (untrusted)",
     "valid",
     {"GOV", "plain"},
     {0, 0},
     {}},
    {"page-changed",
     1,
     "invalid",
     "invalid",
     {"GOV"},
     {0},
     {"/Doc_0/Pages/Page_0/Content.xml"}},
    {"signature-altered", 1, "invalid", "invalid", {"plain"}, {5035}, {}},
    {"pkcs7-sm2", 0, "valid (untrusted)", "valid", {""}, {0}, {}},
};

// The two ways the examples are verified: options, expected reports.
struct ExampleRun {
  std::vector<std::string> options;
  const char* expected;  // folder of NAME.txt and verdicts.txt
  bool trusted;
};
const ExampleRun kExampleRuns[] = {
    {{"--no-default-trust"}, "/examples/expected/", false},
    {{"--no-default-trust", "--trust", "examples/example-root.pem"},
     "/examples/expected/trusted/",
     true},
};

ofdtest::Run VerifyExample(const ExampleRun& how, const ExampleRow& row,
                           bool json) {
  std::vector<std::string> args = {"verify"};
  if (json) args.push_back("--json");
  args.insert(args.end(), how.options.begin(), how.options.end());
  args.push_back(std::string("examples/") + row.name + ".ofd");
  return RunOfdseal(args, kSource);
}

TEST(OfdsealExamples, TextReportsAreTheCommittedOnes) {
  for (const ExampleRun& how : kExampleRuns) {
    for (const ExampleRow& row : kExamples) {
      SCOPED_TRACE(std::string(row.name) + (how.trusted ? " trusted" : ""));
      ofdtest::Run run = VerifyExample(how, row, false);
      EXPECT_EQ(run.code, row.code);
      EXPECT_EQ(run.err, "");
      EXPECT_EQ(run.out, ofdtest::Slurp(std::string(kSource) + how.expected +
                                        row.name + ".txt"));
    }
  }
}

TEST(OfdsealExamples, ManifestListsEveryExample) {
  for (const ExampleRun& how : kExampleRuns) {
    const std::string manifest =
        ofdtest::Slurp(std::string(kSource) + how.expected + "verdicts.txt");
    for (const ExampleRow& row : kExamples) {
      std::string line = std::string(row.name) + ".ofd";
      line.resize(24, ' ');
      line += std::to_string(row.code);
      line.resize(30, ' ');
      line += how.trusted ? row.trustedVerdict : row.verdict;
      EXPECT_NE(manifest.find(line + "\n"), std::string::npos) << line;
    }
  }
}

TEST(OfdsealExamples, JsonReports) {
  for (const ExampleRun& how : kExampleRuns) {
    for (const ExampleRow& row : kExamples) {
      SCOPED_TRACE(std::string(row.name) + (how.trusted ? " trusted" : ""));
      ofdtest::Run run = VerifyExample(how, row, true);
      EXPECT_EQ(run.code, row.code);
      json j = Parse(run);
      EXPECT_EQ(j["verdict"], how.trusted ? row.trustedVerdict : row.verdict);
      EXPECT_EQ(j["trust"]["checked"], how.trusted);
      ASSERT_EQ(j["signatures"].size(), row.families.size());
      std::vector<std::string> notOk;
      for (size_t i = 0; i < row.families.size(); ++i) {
        const json& sig = j["signatures"][i];
        const bool pkcs7 = row.families[i].empty();
        EXPECT_EQ(sig["result"]["code"], row.results[i]);
        EXPECT_EQ(sig["type"], pkcs7 ? "Sign" : "Seal");
        EXPECT_NE(sig["signer"]["subject"].get<std::string>().find("CN="),
                  std::string::npos);
        EXPECT_EQ(sig["signer"]["valid_at_signing"], true);
        const char* chain = how.trusted ? "trusted" : "not checked";
        EXPECT_EQ(sig["signer"]["chain"]["status"], chain);
        if (pkcs7) {
          EXPECT_TRUE(sig["seal"].is_null());
          EXPECT_TRUE(sig["signer"]["owner"].is_null());
        } else {
          EXPECT_EQ(sig["seal"]["family"], row.families[i]);
          EXPECT_FALSE(sig["seal"]["name"].get<std::string>().empty());
          // Every example seal is its signer's, used within its period.
          EXPECT_EQ(sig["signer"]["owner"], true);
          EXPECT_EQ(sig["seal"]["valid_at_signing"], true);
          EXPECT_EQ(sig["seal"]["maker"]["chain"]["status"], chain);
        }
        for (const json& ref : sig["references"])
          if (ref["status"] != "ok") notOk.push_back(ref["path"]);
      }
      EXPECT_EQ(notOk, row.changed);
    }
  }
}

// ---------------------------------------------------------------------------
// Documents that verify: every family and signer, and the ways producers
// write their packages.

struct ValidRow {
  const char* name;
  std::function<void(Package*)> make;
};

Sealing WithSigner(Family family, fx::KeyType type,
                   fx::RsaHash hash = fx::RsaHash::kSha256) {
  Sealing s;
  s.family = family;
  s.signature.signer = type == fx::KeyType::kSm2
                           ? fx::DefaultSigner(fx::KeyType::kSm2)
                           : fx::DefaultSigner(fx::KeyType::kRsa);
  s.signature.rsaHash = hash;
  return s;
}

TEST(OfdsealVerify, ValidVariants) {
  const ValidRow rows[] = {
      {"plain SM2",
       [](Package* d) {
         fx::ofd::AddSignature(d,
                               WithSigner(Family::kPlain, fx::KeyType::kSm2));
       }},
      {"GIN SM2",
       [](Package* d) {
         fx::ofd::AddSignature(d, WithSigner(Family::kGin, fx::KeyType::kSm2));
       }},
      {"GOV SM2",
       [](Package* d) {
         fx::ofd::AddSignature(d, WithSigner(Family::kGov, fx::KeyType::kSm2));
       }},
      {"plain RSA SHA-256",
       [](Package* d) {
         fx::ofd::AddSignature(d,
                               WithSigner(Family::kPlain, fx::KeyType::kRsa));
       }},
      {"GIN RSA SHA-1",
       [](Package* d) {
         fx::ofd::AddSignature(d, WithSigner(Family::kGin, fx::KeyType::kRsa,
                                             fx::RsaHash::kSha1));
       }},
      {"GOV RSA SHA-256",
       [](Package* d) {
         fx::ofd::AddSignature(d, WithSigner(Family::kGov, fx::KeyType::kRsa));
       }},
      {"RSA method by name",
       [](Package* d) {
         Sealing s = WithSigner(Family::kGov, fx::KeyType::kRsa);
         s.method = "sha256WithRSAEncryption";
         fx::ofd::AddSignature(d, s);
       }},
      {"check method SM3",
       [](Package* d) {
         Sealing s;
         s.checkMethod = "SM3";
         fx::ofd::AddSignature(d, s);
       }},
      {"check method sm3",
       [](Package* d) {
         Sealing s;
         s.checkMethod = "sm3";
         fx::ofd::AddSignature(d, s);
       }},
      {"check method SHA-256",
       [](Package* d) {
         Sealing s;
         s.checkMethod = "SHA-256";
         fx::ofd::AddSignature(d, s);
       }},
      {"check method SHA-1",
       [](Package* d) {
         Sealing s;
         s.checkMethod = "1.3.14.3.2.26";
         fx::ofd::AddSignature(d, s);
       }},
      {"check method MD5",
       [](Package* d) {
         Sealing s;
         s.checkMethod = "MD5";
         fx::ofd::AddSignature(d, s);
       }},
      {"relative locations",
       [](Package* d) {
         Sealing s;
         s.absoluteLocations = false;
         fx::ofd::AddSignature(d, s);
       }},
      {"FileRef without slash and with backslashes",
       [](Package* d) {
         Sealing s;
         s.references = std::vector<std::string>{
             "Doc_0/Document.xml", "\\Doc_0\\Pages\\Page_0\\Content.xml"};
         fx::ofd::AddSignature(d, s);
       }},
      {"unprefixed elements",
       [](Package* d) {
         fx::ofd::DocumentSpec params;
         params.prefixed = false;
         *d = fx::ofd::MakeDocument(params);
         fx::ofd::AddSignature(d, Sealing());
       }},
      {"signature list found by convention",
       [](Package* d) {
         fx::ofd::DocumentSpec params;
         params.nameSignatures = false;
         *d = fx::ofd::MakeDocument(params);
         fx::ofd::AddSignature(d, Sealing());
       }},
      {"three signatures",
       [](Package* d) {
         fx::ofd::AddSignature(d,
                               WithSigner(Family::kPlain, fx::KeyType::kSm2));
         fx::ofd::AddSignature(d, WithSigner(Family::kGin, fx::KeyType::kRsa));
         fx::ofd::AddSignature(d, WithSigner(Family::kGov, fx::KeyType::kSm2));
       }},
  };
  for (const ValidRow& row : rows) {
    SCOPED_TRACE(row.name);
    Package doc = fx::ofd::MakeDocument();
    row.make(&doc);
    Verified v = VerifyJson(doc);
    EXPECT_EQ(v.code, 0) << v.report.dump(2);
    EXPECT_EQ(v.report["verdict"], "valid (untrusted)");
    EXPECT_EQ(v.report["valid_signatures"], doc.signatures.size());
    EXPECT_EQ(v.err, "");
  }
}

TEST(OfdsealVerify, DigestFollowsTheSigner) {
  // An RSA signer with SHA-1: the library is handed SHA-1 of Signature.xml.
  Package doc = fx::ofd::MakeDocument();
  fx::ofd::AddSignature(
      &doc, WithSigner(Family::kGov, fx::KeyType::kRsa, fx::RsaHash::kSha1));
  Verified v = VerifyJson(doc);
  EXPECT_EQ(v.report["signatures"][0]["digest"], "sha1");
  EXPECT_EQ(v.report["signatures"][0]["algorithm"], "RSA with SHA-1");
  // An SM2 signer: SM3, even when the signature method names another digest.
  doc = fx::ofd::MakeDocument();
  Sealing s;
  s.method = "1.2.840.113549.1.1.11";
  fx::ofd::AddSignature(&doc, s);
  v = VerifyJson(doc);
  EXPECT_EQ(v.report["signatures"][0]["digest"], "sm3");
  EXPECT_EQ(v.code, 0);
}

// ---------------------------------------------------------------------------
// Broken documents: each is reported in the JSON report, exit status 1.

struct BrokenRow {
  const char* name;
  std::function<void(Package*)> breakIt;
  // What the report must show.
  const char* verdict;           // of the document
  const char* signatureVerdict;  // of the first signature; "" when none
  const char* problem;           // part of a problem text; "" for none
  const char* referenceStatus;   // of some reference; "" for none
  int resultCode;                // of the library; -1 when not asked
};

Sealing Typed(const char* type) {
  Sealing s;
  s.type = type;
  return s;
}

TEST(OfdsealVerify, BrokenPackages) {
  const BrokenRow rows[] = {
      {"signature list missing", [](Package* d) { d->Remove(kList); },
       "invalid", "", "signature list /Doc_0/Signs/Signatures.xml: missing", "",
       -1},
      {"signature list not XML",
       [](Package* d) { d->Set(kList, "<a><b></a>"); }, "invalid", "",
       "not XML", "", -1},
      {"signature list of something else",
       [](Package* d) { d->Set(kList, "<a/>"); }, "invalid", "",
       "no Signatures element", "", -1},
      {"Signature.xml missing", [](Package* d) { d->Remove(kSignatureXml); },
       "invalid", "invalid",
       "Signature.xml /Doc_0/Signs/Sign_0/Signature.xml: missing", "", -1},
      {"Signature.xml not XML",
       [](Package* d) { d->Set(kSignatureXml, "\x01\x02"); }, "invalid",
       "invalid", "not XML", "", -1},
      {"Signature.xml changed after sealing",
       [](Package* d) {
         std::string* xml = d->Find(kSignatureXml);
         xml->replace(xml->find("sealkit fixtures"), 7, "someone");
       },
       "invalid", "invalid", "", "", 5013},
      {"signature value missing", [](Package* d) { d->Remove(kSignedValue); },
       "invalid", "invalid",
       "signature value /Doc_0/Signs/Sign_0/SignedValue.dat: missing", "", -1},
      {"signature value truncated",
       [](Package* d) {
         std::string* v = d->Find(kSignedValue);
         v->resize(v->size() / 2);
       },
       "invalid", "invalid", "", "", 5023},
      {"signature value empty", [](Package* d) { d->Set(kSignedValue, ""); },
       "invalid", "invalid", "", "", 5023},
      {"referenced file missing",
       [](Package* d) { d->Remove("Doc_0/PublicRes.xml"); }, "invalid",
       "invalid", "", "missing", 0},
      {"referenced file changed", [](Package* d) { *d->Find(kContent) += " "; },
       "invalid", "invalid", "", "changed", 0},
  };
  for (const BrokenRow& row : rows) {
    SCOPED_TRACE(row.name);
    Package doc = Sealed();
    row.breakIt(&doc);
    Verified v = VerifyJson(doc);
    EXPECT_EQ(v.code, 1);
    const json& r = v.report;
    EXPECT_EQ(r["verdict"], row.verdict);
    std::string problems;
    for (const json& p : r["problems"]) problems += p.get<std::string>() + "|";
    if (std::string(row.signatureVerdict).empty()) {
      EXPECT_TRUE(r["signatures"].empty());
    } else {
      ASSERT_EQ(r["signatures"].size(), 1u);
      const json& sig = r["signatures"][0];
      EXPECT_EQ(sig["verdict"], row.signatureVerdict);
      for (const json& p : sig["problems"])
        problems += p.get<std::string>() + "|";
      if (row.resultCode < 0) {
        EXPECT_TRUE(sig["result"].is_null());
      } else {
        EXPECT_EQ(sig["result"]["code"], row.resultCode);
      }
      bool found = std::string(row.referenceStatus).empty();
      for (const json& ref : sig["references"])
        found = found || ref["status"] == row.referenceStatus;
      EXPECT_TRUE(found) << sig["references"].dump(2);
    }
    EXPECT_NE(problems.find(row.problem), std::string::npos) << problems;
    if (std::string(row.problem).empty()) {
      EXPECT_EQ(problems, "");
    }
  }
}

TEST(OfdsealVerify, SignaturesTheToolDoesNotTrust) {
  struct Row {
    const char* name;
    Sealing sealing;
    const char* verdict;
    const char* problem;
    const char* referenceStatus;
  };
  Sealing escaping;
  escaping.references = std::vector<std::string>{"/../../etc/passwd"};
  Sealing drive;
  drive.references = std::vector<std::string>{"C:\\Windows\\win.ini"};
  Sealing none;
  none.references = std::vector<std::string>{};
  Sealing unknownCheck;
  unknownCheck.checkMethod = "whirlpool";
  Sealing rsaUnknownMethod = WithSigner(Family::kGov, fx::KeyType::kRsa);
  rsaUnknownMethod.method = "rot13";
  const Row rows[] = {
      {"unknown type", Typed("Stamp"), "not supported yet",
       "unknown signature type", "ok"},
      {"reference leaves the package", escaping, "invalid", "",
       "path leaves the package"},
      {"reference names a drive", drive, "invalid", "",
       "path leaves the package"},
      {"no references", none, "invalid", "covers no part", ""},
      {"unknown check method", unknownCheck, "invalid", "",
       "unknown check method"},
      {"RSA signer, unknown method", rsaUnknownMethod, "invalid",
       "names no digest", "ok"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Package doc = fx::ofd::MakeDocument();
    fx::ofd::AddSignature(&doc, row.sealing);
    Verified v = VerifyJson(doc);
    EXPECT_EQ(v.code, 1);
    EXPECT_EQ(v.report["verdict"], "invalid");
    const json& sig = v.report["signatures"][0];
    EXPECT_EQ(sig["verdict"], row.verdict);
    std::string problems;
    for (const json& p : sig["problems"])
      problems += p.get<std::string>() + "|";
    EXPECT_NE(problems.find(row.problem), std::string::npos) << problems;
    for (const json& ref : sig["references"])
      EXPECT_EQ(ref["status"], row.referenceStatus);
  }
}

// PKCS#7 signatures (Type="Sign"): the verifier's code and reason over the
// exact bytes of Signature.xml, and the references, make the verdict.
TEST(OfdsealVerify, Pkcs7Signatures) {
  struct Row {
    const char* name;
    bool encapsulated;  // content SM3(Signature.xml), r || s, RFC identifiers
    std::function<void(Package*)> change;  // after signing
    unsigned code;
    const char* reason;           // part of the verifier's reason
    const char* referenceStatus;  // of some reference
  };
  const auto value = [](const std::string& bytes) {
    return [bytes](Package* d) { d->Set(kSignedValue, bytes); };
  };
  const Row rows[] = {
      {"detached, signed attributes", false, [](Package*) {}, 0, "verifies",
       "ok"},
      {"encapsulated", true, [](Package*) {}, 0, "verifies", "ok"},
      {"Signature.xml changed", false,
       [](Package* d) { *d->Find(kSignatureXml) += " "; }, 5013,
       "messageDigest", "ok"},
      {"referenced part changed", true,
       [](Package* d) { *d->Find(kContent) += " "; }, 0, "verifies", "changed"},
      {"bare SM2 signature", false, value(std::string(64, '\x11')), 5032,
       "cannot be verified: no signer certificate", "ok"},
      {"garbage value", false, value("nope"), 5025, "not a PKCS#7", "ok"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Package doc = fx::ofd::MakeDocument();
    Sealing s;
    s.type = "Sign";
    s.pkcs7.encapsulated = s.pkcs7.rawSignature = s.pkcs7.rfcOids =
        row.encapsulated;
    // The default signer is valid from a day ago: signed an hour ago.
    s.pkcs7.signingTime = time(nullptr) - 3600;
    fx::ofd::AddSignature(&doc, s);
    row.change(&doc);
    Verified v = VerifyJson(doc);
    const bool valid =
        row.code == 0 && row.referenceStatus == std::string("ok");
    EXPECT_EQ(v.code, valid ? 0 : 1);
    const json& sig = v.report["signatures"][0];
    EXPECT_EQ(sig["verdict"], valid ? "valid (untrusted)" : "invalid");
    EXPECT_EQ(sig["result"]["code"], row.code);
    EXPECT_NE(sig["result"]["reason"].get<std::string>().find(row.reason),
              std::string::npos)
        << sig["result"];
    EXPECT_EQ(sig["problems"].size(), 0u) << sig["problems"];
    bool found = false;
    for (const json& ref : sig["references"])
      found = found || ref["status"] == row.referenceStatus;
    EXPECT_TRUE(found) << sig["references"].dump(2);
  }
}

TEST(OfdsealVerify, OneBadSignatureAmongGoodOnes) {
  Package doc = fx::ofd::MakeDocument();
  fx::ofd::AddSignature(&doc, Sealing());
  Sealing second;
  second.family = Family::kPlain;
  fx::ofd::AddSignature(&doc, second);
  // Break only the second signature's value.
  doc.Find("Doc_0/Signs/Sign_1/SignedValue.dat")->back() ^= 0x01;
  Verified v = VerifyJson(doc);
  EXPECT_EQ(v.code, 1);
  EXPECT_EQ(v.report["valid_signatures"], 1);
  EXPECT_EQ(v.report["signatures"][0]["verdict"], "valid (untrusted)");
  EXPECT_EQ(v.report["signatures"][1]["verdict"], "invalid");
}

TEST(OfdsealVerify, UnsignedDocumentIsNotValid) {
  for (bool named : {true, false}) {
    fx::ofd::DocumentSpec params;
    params.nameSignatures = named;
    Package doc = fx::ofd::MakeDocument(params);
    Verified v = VerifyJson(doc);
    EXPECT_EQ(v.code, 1);
    // Named in OFD.xml but absent: a missing part; not named: unsigned.
    EXPECT_EQ(v.report["verdict"], named ? "invalid" : "unsigned");
  }
}

TEST(OfdsealVerify, EveryDocumentOfThePackage) {
  // A second document whose signature list names the first one's signature
  // (absolute location): both documents are walked, each reported.
  Package doc = fx::ofd::MakeDocument();
  std::vector<std::pair<std::string, std::string>> copies;
  for (const auto& part : doc.parts)
    if (part.first.rfind("Doc_0/", 0) == 0)
      copies.emplace_back("Doc_1/" + part.first.substr(6), part.second);
  doc.parts.insert(doc.parts.end(), copies.begin(), copies.end());
  std::string* ofd = doc.Find("OFD.xml");
  const size_t body = ofd->find("  <ofd:DocBody>");
  const size_t end = ofd->find("</ofd:DocBody>") + 15;
  std::string second = ofd->substr(body, end - body);
  for (size_t at = second.find("Doc_0"); at != std::string::npos;
       at = second.find("Doc_0"))
    second[at + 4] = '1';
  ofd->insert(end, second);
  fx::ofd::AddSignature(&doc, Sealing());
  doc.Set("Doc_1/Signs/Signatures.xml", *doc.Find(kList));

  Verified v = VerifyJson(doc);
  EXPECT_EQ(v.code, 0) << v.report.dump(2);
  ASSERT_EQ(v.report["signatures"].size(), 2u);
  EXPECT_EQ(v.report["signatures"][0]["document"], "/Doc_0/Document.xml");
  EXPECT_EQ(v.report["signatures"][1]["document"], "/Doc_1/Document.xml");

  Scratch scratch;
  fx::ofd::WriteZip(doc, scratch.Path("two.ofd"));
  ofdtest::Run run =
      RunOfdseal({"verify", "--no-default-trust", scratch.Path("two.ofd")});
  EXPECT_NE(run.out.find("  Document:       /Doc_1/Document.xml\n"),
            std::string::npos)
      << run.out;
}

// ---------------------------------------------------------------------------
// Hostile or unreadable input: exit status 2, one line on standard error,
// and a JSON report that says why.

void ExpectRefused(const std::string& path, const std::string& why,
                   std::vector<std::string> extra = {}) {
  extra.insert(extra.begin(), {"verify", "--json", "--no-default-trust"});
  extra.push_back(path);
  ofdtest::Run run = RunOfdseal(extra);
  EXPECT_EQ(run.code, 2);
  ASSERT_FALSE(run.err.empty());
  EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
  EXPECT_NE(run.err.find(why), std::string::npos) << run.err;
  json j = Parse(run);
  EXPECT_EQ(j["verdict"], "error");
  EXPECT_NE(j["error"].get<std::string>().find(why), std::string::npos);
}

TEST(OfdsealVerify, HostileEntryNames) {
  const char* names[] = {"../evil.xml",          "/etc/evil.xml",
                         "Doc_0/../../evil.xml", "..\\evil.xml",
                         "C:\\evil.xml",         "Doc_0/./../x"};
  for (const char* name : names) {
    SCOPED_TRACE(name);
    Scratch scratch;
    Package doc = Sealed();
    doc.Set(name, "x");
    fx::ofd::WriteZip(doc, scratch.Path("doc.ofd"));
    ExpectRefused(scratch.Path("doc.ofd"), "leaves the package");
  }
}

TEST(OfdsealVerify, TwoEntriesOfOneName) {
  Scratch scratch;
  Package doc = Sealed();
  // libzip writes no duplicates: write a second name of the same length and
  // rename it in the archive's bytes.
  doc.Set("Doc_0/PublicRes.xmX", "<other/>");
  fx::ofd::WriteZip(doc, scratch.Path("doc.ofd"));
  std::string zip = ofdtest::Slurp(scratch.Path("doc.ofd"));
  for (size_t at = zip.find("PublicRes.xmX"); at != std::string::npos;
       at = zip.find("PublicRes.xmX", at))
    zip[at + 12] = 'l';
  std::ofstream(scratch.Path("dup.ofd"), std::ios::binary) << zip;
  ofdtest::Run run = RunOfdseal({"verify", scratch.Path("dup.ofd")});
  EXPECT_EQ(run.code, 2) << run.out;
}

TEST(OfdsealVerify, EntryCountIsBounded) {
  Scratch scratch;
  Package doc = Sealed();
  for (int i = 0; i < 30; ++i) doc.Set("Res/pad" + std::to_string(i), "");
  fx::ofd::WriteZip(doc, scratch.Path("doc.ofd"));
  ExpectRefused(scratch.Path("doc.ofd"), "more than the limit of 20",
                {"--max-entries", "20"});
  // Within a larger limit the same package verifies.
  ofdtest::Run run = RunOfdseal({"verify", "--no-default-trust",
                                 "--max-entries=100", scratch.Path("doc.ofd")});
  EXPECT_EQ(run.code, 0) << run.out << run.err;
  // The default limit is 10000 entries.
  for (int i = 30; i < 10001; ++i)
    doc.parts.emplace_back("Res/pad" + std::to_string(i), "");
  fx::ofd::WriteZip(doc, scratch.Path("many.ofd"));
  ExpectRefused(scratch.Path("many.ofd"), "more than the limit of 10000");
}

TEST(OfdsealVerify, InflatedSizeIsBounded) {
  Scratch scratch;
  // 2 MiB of zeros deflate to a few kilobytes. Signed, so it is read.
  Package doc = fx::ofd::MakeDocument();
  doc.Set("Doc_0/Res/big.bin", std::string(2 << 20, '\0'));
  fx::ofd::AddSignature(&doc, Sealing());
  fx::ofd::WriteZip(doc, scratch.Path("doc.ofd"));
  ExpectRefused(scratch.Path("doc.ofd"), "inflates to more than the limit",
                {"--max-size", "1M"});
  ofdtest::Run run = RunOfdseal({"verify", "--no-default-trust", "--max-size",
                                 "3M", scratch.Path("doc.ofd")});
  EXPECT_EQ(run.code, 0) << run.out << run.err;
}

std::string Repeat(const std::string& text, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += text;
  return out;
}

// A list of `count` signature entries, each naming Sign_0's Signature.xml.
std::string RepeatedList(int count) {
  return "<ofd:Signatures xmlns:ofd=\"http://www.ofdspec.org/2016\">" +
         Repeat(
             "<ofd:Signature BaseLoc=\"/Doc_0/Signs/Sign_0/Signature.xml\"/>",
             count) +
         "</ofd:Signatures>";
}

// Inserts `xml` into OFD.xml before the first DocBody element.
void IntoOfd(Package* doc, const std::string& xml) {
  std::string* ofd = doc->Find("OFD.xml");
  ofd->insert(ofd->find("<ofd:DocBody>"), xml);
}

// Every limit refuses the package with its name and option, in verify and
// in inspect, and a package just within it is read.
TEST(OfdsealVerify, LimitsRefuseThePackage) {
  struct Row {
    const char* name;
    std::function<void(Package*)> make;  // on a sealed document
    std::vector<std::string> over;       // options under which it is refused
    std::vector<std::string> within;     // options under which it is read
    const char* message;
    bool inspectToo;  // inspect reads these parts too
  };
  const std::string bigPart = "Doc_0/Res/big.bin";
  const Row rows[] = {
      {"signatures per list (default)",
       [](Package* d) { d->Set(kList, RepeatedList(1001)); },
       {},
       {"--max-signatures", "1001"},
       "lists 1001 signatures, more than the limit of 1000 (--max-signatures)",
       true},
      {"documents (default)",
       [](Package* d) { IntoOfd(d, Repeat("<ofd:DocBody/>", 16)); },
       {},
       {"--max-documents", "17"},
       "OFD.xml lists 17 documents, more than the limit of 16",
       true},
      {"references",
       [](Package*) {},
       {"--max-references", "3"},
       {"--max-references", "4"},
       "Signature.xml holds more references, more than the limit of 3",
       true},
      {"XML size (default)",
       [](Package* d) { IntoOfd(d, "<!--" + Repeat(" ", 4 << 20) + "-->"); },
       {},
       {"--max-xml-size", "5M"},
       "/OFD.xml holds more XML bytes, more than the limit of 4194304 "
       "(--max-xml-size)",
       true},
      {"XML depth (default)",
       [](Package* d) { IntoOfd(d, Repeat("<x>", 64) + Repeat("</x>", 64)); },
       {},
       {"--max-xml-depth", "65"},
       "/OFD.xml nests elements deeper, more than the limit of 64",
       true},
      {"XML tree charged to the budget",
       [](Package* d) { IntoOfd(d, Repeat("<a/>", 40000)); },
       {"--max-size", "4M"},
       {"--max-size", "8M"},
       "inflates to more than the limit of 4194304 bytes (--max-size; at "
       "/OFD.xml)",
       true},
      {"a part read again is charged again",
       [bigPart](Package* d) {
         d->Set(bigPart, std::string(2 << 20, '\0'));
         Sealing sm3, sha256;
         sm3.references = sha256.references =
             std::vector<std::string>{"/" + bigPart};
         sha256.checkMethod = "SHA-256";
         fx::ofd::AddSignature(d, sm3);
         fx::ofd::AddSignature(d, sha256);
       },
       {"--max-size", "3M"},
       {"--max-size", "5M"},
       "inflates to more than the limit of 3145728 bytes",
       false},
      {"eight references to one part: inflated once",
       [bigPart](Package* d) {
         d->Set(bigPart, std::string(2 << 20, '\0'));
         Sealing s;
         s.references = std::vector<std::string>(8, "/" + bigPart);
         fx::ofd::AddSignature(d, s);
       },
       {"--max-size", "2M"},
       {"--max-size", "3M"},
       "inflates to more than the limit of 2097152 bytes",
       false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Scratch scratch;
    Package doc = Sealed();
    row.make(&doc);
    const std::string path = scratch.Path("doc.ofd");
    fx::ofd::WriteZip(doc, path);
    ExpectRefused(path, row.message, row.over);
    std::vector<std::string> args = {"verify", "--no-default-trust"};
    args.insert(args.end(), row.within.begin(), row.within.end());
    args.push_back(path);
    ofdtest::Run run = RunOfdseal(args);
    EXPECT_NE(run.code, 2) << run.err;
    EXPECT_EQ(run.out.find("limit exceeded"), std::string::npos);
    if (row.inspectToo) {
      args = {"inspect"};
      args.insert(args.end(), row.over.begin(), row.over.end());
      args.push_back(path);
      run = RunOfdseal(args);
      EXPECT_EQ(run.code, 2);
      EXPECT_NE(run.err.find(row.message), std::string::npos) << run.err;
    }
  }
}

// Entries that name one Signature.xml again are checked once; a signature
// value named by a second Signature.xml does not count for it.
TEST(OfdsealVerify, EachSignatureOnce) {
  Package doc = Sealed();
  doc.Set("Doc_0/Signs/Copy/Signature.xml", *doc.Find(kSignatureXml));
  std::string list = RepeatedList(2);
  list.insert(list.find("</ofd:Signatures>"),
              "<ofd:Signature BaseLoc=\"/Doc_0/Signs/Copy/Signature.xml\"/>");
  doc.Set(kList, list);
  Verified v = VerifyJson(doc);
  EXPECT_EQ(v.code, 1);
  const json& sigs = v.report["signatures"];
  ASSERT_EQ(sigs.size(), 3u);
  EXPECT_EQ(sigs[0]["verdict"], "valid (untrusted)");
  EXPECT_TRUE(sigs[0]["same_as"].is_null());
  EXPECT_EQ(sigs[1]["same_as"], 1);
  EXPECT_EQ(sigs[1]["verdict"], "valid (untrusted)");
  EXPECT_TRUE(sigs[1]["references"].empty());
  EXPECT_EQ(sigs[2]["verdict"], "invalid");
  EXPECT_EQ(sigs[2]["problems"][0],
            "signature value /Doc_0/Signs/Sign_0/SignedValue.dat: the value "
            "of signature 1 too");

  Scratch scratch;
  fx::ofd::WriteZip(doc, scratch.Path("doc.ofd"));
  ofdtest::Run run =
      RunOfdseal({"verify", "--no-default-trust", scratch.Path("doc.ofd")});
  EXPECT_NE(run.out.find("Signature 2 of 3: ID (none), type Seal\n"
                         "  Signature.xml:  /Doc_0/Signs/Sign_0/Signature.xml\n"
                         "  Same as:        signature 1\n"
                         "  Verdict:        valid (untrusted)\n"),
            std::string::npos)
      << run.out;
}

// Packages whose ZIP local headers leave CRC and sizes zero (streaming
// writers) are read; an entry whose data does not match its CRC is not.
TEST(OfdsealVerify, ZipLocalHeadersAndCrc) {
  struct Row {
    const char* name;
    bool zeroLocal;       // CRC and sizes of every local header zero
    bool descriptorFlag;  // and the data-descriptor flag set
    bool badCrc;          // Content.xml's CRC wrong in both headers
    int code;
    const char* contentStatus;
  };
  const Row rows[] = {
      {"zero local headers, descriptor flag", true, true, false, 0, "ok"},
      {"zero local headers, no descriptor flag", true, false, false, 0, "ok"},
      {"wrong CRC", false, false, true, 1, "unreadable"},
  };
  const auto le32 = [](std::string& zip, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i)
      zip[at + i] = static_cast<char>(value >> (8 * i));
  };
  const auto u16 = [](const std::string& zip, size_t at) -> size_t {
    return static_cast<uint8_t>(zip[at]) |
           static_cast<size_t>(static_cast<uint8_t>(zip[at + 1])) << 8;
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Scratch scratch;
    fx::ofd::WriteZip(Sealed(), scratch.Path("doc.ofd"));
    std::string zip = ofdtest::Slurp(scratch.Path("doc.ofd"));
    // Local headers follow each other: 30 bytes, name, extra field, data.
    size_t at = 0;
    while (zip.compare(at, 4, "PK\3\4") == 0) {
      const size_t nameLength = u16(zip, at + 26);
      const size_t next = at + 30 + nameLength + u16(zip, at + 28) +
                          (u16(zip, at + 18) | u16(zip, at + 20) << 16);
      const bool content = zip.compare(at + 30, nameLength, kContent) == 0;
      if (row.zeroLocal) {
        for (size_t field : {14, 18, 22}) le32(zip, at + field, 0);
        if (row.descriptorFlag) zip[at + 6] |= 0x08;
      }
      if (row.badCrc && content) zip[at + 14] ^= 0x01;
      at = next;
    }
    // Then the central directory: 46 bytes, name, extra field, comment.
    for (; zip.compare(at, 4, "PK\1\2") == 0;
         at += 46 + u16(zip, at + 28) + u16(zip, at + 30) + u16(zip, at + 32))
      if (row.badCrc && zip.compare(at + 46, u16(zip, at + 28), kContent) == 0)
        zip[at + 16] ^= 0x01;
    std::ofstream(scratch.Path("patched.ofd"), std::ios::binary) << zip;
    ofdtest::Run run = RunOfdseal({"verify", "--json", "--no-default-trust",
                                   scratch.Path("patched.ofd")});
    EXPECT_EQ(run.code, row.code) << run.err;
    const json report = Parse(run);
    const json& refs = report["signatures"][0]["references"];
    ASSERT_EQ(refs.size(), 4u);
    EXPECT_EQ(refs[3]["path"], "/" + std::string(kContent));
    EXPECT_EQ(refs[3]["status"], row.contentStatus);
  }
}

// A tree that does not fit in memory is "out of memory", not "not XML".
TEST(OfdsealVerify, OutOfMemoryIsReportedAsSuch) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer needs more address space than the limit";
#else
  // So does valgrind, which runs the child ofdseal too.
  if (RUNNING_ON_VALGRIND)
    GTEST_SKIP() << "valgrind needs more address space than the limit";
  Scratch scratch;
  Package doc = Sealed();
  doc.Set("OFD.xml", "<r>" + Repeat("<a/>", 3 << 20) + "</r>");
  fx::ofd::WriteZip(doc, scratch.Path("doc.ofd"));
  ofdtest::Setup setup;
  setup.addressSpace = 256u << 20;
  ofdtest::Run run =
      RunOfdseal({"verify", "--no-default-trust", "--max-xml-size", "16M",
                  "--max-size", "2G", scratch.Path("doc.ofd")},
                 "", {}, setup);
  EXPECT_EQ(run.code, 2);
  EXPECT_NE(run.err.find("out of memory"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("not XML"), std::string::npos) << run.err;
#endif
}

TEST(OfdsealVerify, UnreadableInput) {
  Scratch scratch;
  Package doc = Sealed();
  fx::ofd::WriteZip(doc, scratch.Path("doc.ofd"));
  const std::string zip = ofdtest::Slurp(scratch.Path("doc.ofd"));
  std::ofstream(scratch.Path("half.ofd"), std::ios::binary)
      << zip.substr(0, zip.size() / 2);
  std::ofstream(scratch.Path("text.ofd")) << "not a package";
  Package noOfd = Sealed();
  noOfd.Remove("OFD.xml");
  fx::ofd::WriteZip(noOfd, scratch.Path("no-ofd.ofd"));
  Package badOfd = Sealed();
  badOfd.Set("OFD.xml", "<OFD><DocBody>");
  fx::ofd::WriteZip(badOfd, scratch.Path("bad-ofd.ofd"));
  Package noBody = Sealed();
  noBody.Set("OFD.xml", "<OFD/>");
  fx::ofd::WriteZip(noBody, scratch.Path("no-body.ofd"));

  ExpectRefused(scratch.Path("half.ofd"), "as an OFD package");
  ExpectRefused(scratch.Path("text.ofd"), "as an OFD package");
  ExpectRefused(scratch.Path("absent.ofd"), "No such file");
  ExpectRefused(scratch.Path(""), "not a regular file");
  ExpectRefused(scratch.Path("no-ofd.ofd"), "no OFD.xml");
  ExpectRefused(scratch.Path("bad-ofd.ofd"), "OFD.xml is not XML");
  ExpectRefused(scratch.Path("no-body.ofd"), "no DocBody");
}

// Many documents: one report each in the order given, whatever the number
// of threads, and the worst exit code.
TEST(OfdsealVerify, ManyDocumentsInOrder) {
  Scratch scratch;
  std::filesystem::create_directories(scratch.Path("dir/sub"));
  Package broken = Sealed(Family::kGin);
  broken.Find(kContent)->append(" ");
  const std::vector<std::pair<std::string, Package>> docs = {
      {"dir/a.ofd", Sealed()},
      {"dir/sub/b.OFD", broken},
      {"dir/c.ofd", Sealed(Family::kPlain)},
  };
  for (const auto& doc : docs)
    fx::ofd::WriteZip(doc.second, scratch.Path(doc.first));
  std::ofstream(scratch.Path("dir/notes.txt")) << "not a document";
  std::ofstream(scratch.Path("text.ofd")) << "not a package";
  const std::vector<std::string> files = {
      scratch.Path("dir/c.ofd"), scratch.Path("text.ofd"),
      scratch.Path("dir/a.ofd"), scratch.Path("dir/sub/b.OFD")};
  for (const char* jobs : {"-j1", "-j3"}) {
    std::vector<std::string> args = {"verify", "--json", "--no-default-trust",
                                     jobs};
    args.insert(args.end(), files.begin(), files.end());
    ofdtest::Run run = RunOfdseal(args);
    EXPECT_EQ(run.code, 2) << jobs;
    json reports = Parse(run);
    ASSERT_TRUE(reports.is_array()) << run.out;
    ASSERT_EQ(reports.size(), files.size());
    const char* verdicts[] = {"valid (untrusted)", "error",
                              "valid (untrusted)", "invalid"};
    for (size_t i = 0; i < files.size(); ++i) {
      EXPECT_EQ(reports[i]["file"], files[i]) << jobs;
      EXPECT_EQ(reports[i]["verdict"], verdicts[i]) << jobs << " " << i;
    }
    EXPECT_NE(run.err.find("as an OFD package"), std::string::npos);
  }
  // A folder with -r: its *.ofd files in name order, then the summary; the
  // worst is an invalid document.
  ofdtest::Run run = RunOfdseal(
      {"verify", "--no-default-trust", "-r", "-j", "2", scratch.Path("dir")});
  EXPECT_EQ(run.code, 1);
  const size_t a = run.out.find("dir/a.ofd"), c = run.out.find("dir/c.ofd"),
               b = run.out.find("dir/sub/b.OFD");
  EXPECT_TRUE(a < c && c < b) << run.out;
  EXPECT_NE(run.out.find("Summary: 3 document(s): 0 valid, 2 valid "
                         "(untrusted), 1 invalid, 0 unsigned, 0 unreadable"),
            std::string::npos)
      << run.out;
  for (const char* bad : {"-j0", "-jx"})
    EXPECT_EQ(RunOfdseal({"verify", bad, files[0]}).code, 2) << bad;
}

// Names that JSON must escape, and seal names in GBK: the report is valid
// UTF-8 JSON and carries the text unchanged (GBK converted).
TEST(OfdsealVerify, JsonCarriesAnyText) {
  struct Row {
    std::string name;
    std::string expected;
  };
  const Row rows[] = {
      {"quote \" backslash \\ tab \t newline \n bell \x07", ""},
      {"\xB2\xE2\xCA\xD4\xD3\xA1\xD5\xC2", "测试印章"},  // GBK
      {"broken \xFF\xFE end", "broken \xEF\xBF\xBD\xEF\xBF\xBD end"},
  };
  for (const Row& row : rows) {
    Package doc = fx::ofd::MakeDocument();
    Sealing s;
    s.family = Family::kPlain;
    fx::SealSpec seal;
    seal.name = row.name;
    s.signature.seal = fx::MakeSeal(Family::kPlain, seal);
    s.provider = "a \"<&>\" b";
    fx::ofd::AddSignature(&doc, s);
    Verified v = VerifyJson(doc);
    EXPECT_EQ(v.code, 0);
    const json& sig = v.report["signatures"][0];
    EXPECT_EQ(sig["seal"]["name"],
              row.expected.empty() ? row.name : row.expected);
  }
}

// Values from the document cannot print lines of their own or restyle the
// text report; the JSON report carries them exactly.
TEST(OfdsealVerify, ReportsCannotBeSpoofed) {
  const std::string id = "1\nResult: valid, 1 of 1 signature valid";
  const std::string provider =
      "p\xC2\x9B"
      "31m\xE2\x80\xA8Verdict: valid";
  const std::string sealName = "\x1b[2J\r\n  Verdict:        valid";
  Package doc = fx::ofd::MakeDocument();
  Sealing s;
  s.family = Family::kPlain;
  s.provider = provider;
  fx::SealSpec seal;
  seal.name = sealName;
  s.signature.seal = fx::MakeSeal(Family::kPlain, seal);
  fx::ofd::AddSignature(&doc, s);
  std::string* list = doc.Find(kList);
  list->replace(list->find("ID=\"1\""), 6, "ID=\"" + id + "\"");

  Verified v = VerifyJson(doc);
  const json& sig = v.report["signatures"][0];
  EXPECT_EQ(sig["id"], id);
  EXPECT_EQ(sig["provider"], provider);
  EXPECT_EQ(sig["seal"]["name"], sealName);

  Scratch scratch;
  fx::ofd::WriteZip(doc, scratch.Path("doc.ofd"));
  for (const std::string command : {"verify", "inspect"}) {
    SCOPED_TRACE(command);
    ofdtest::Run run = RunOfdseal({command, scratch.Path("doc.ofd")});
    EXPECT_EQ(run.code, 0);
    for (const char* raw : {"\x1b", "\r", "\xC2\x9B", "\xE2\x80\xA8"})
      EXPECT_EQ(run.out.find(raw), std::string::npos) << run.out;
    // The only verdict lines are the report's own.
    const size_t own = command == "verify" ? 1 : 0;
    for (const char* line : {"\nResult:", "\n  Verdict:"}) {
      size_t count = 0;
      for (size_t at = run.out.find(line); at != std::string::npos;
           at = run.out.find(line, at + 1))
        ++count;
      EXPECT_EQ(count, own) << line;
    }
    EXPECT_NE(run.out.find("ID 1\\nResult: valid"), std::string::npos);
    EXPECT_NE(run.out.find("\\x1b[2J\\r\\n  Verdict:"), std::string::npos);
  }
}

}  // namespace
