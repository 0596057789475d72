// ofdseal verify on the bundled examples and on packages made by the OFD kit:
// valid documents in their variants, each broken part, and hostile archives.
// The JSON reports are read with an independent JSON parser.
#include <gtest/gtest.h>

#include <ctime>
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

}  // namespace
