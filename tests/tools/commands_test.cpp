// ofdseal inspect and digest, and the command line itself: help, usage
// errors and exit statuses.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cctype>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "fixtures.h"
#include "ofd_kit.h"
#include "ofdseal_run.h"

namespace {

using fx::Bytes;
using fx::Family;
using nlohmann::json;
using ofdtest::RunOfdseal;
using ofdtest::Scratch;

// The kit writes hex in capitals; ofdseal in lower case.
std::string LowerHex(const Bytes& bytes) {
  std::string hex = fx::ToHex(bytes);
  for (char& c : hex) c = static_cast<char>(std::tolower(c));
  return hex;
}

// The manual page as words: roff's escaped hyphens as plain ones.
std::string ManualText() {
  std::ifstream in(std::string(KX_SOURCE_DIR) + "/tools/ofdseal/ofdseal.1");
  std::stringstream s;
  s << in.rdbuf();
  std::string text = s.str();
  for (size_t at = text.find("\\-"); at != std::string::npos;
       at = text.find("\\-", at))
    text.erase(at, 1);
  return text;
}

// The options a help text names: "-x" and "--name" after a blank, a comma
// or "[".
std::vector<std::string> OptionsIn(const std::string& help) {
  std::vector<std::string> options;
  for (size_t at = 0; (at = help.find('-', at)) != std::string::npos;) {
    size_t end = at + (help.compare(at, 2, "--") == 0 ? 2 : 1);
    const bool starts =
        at == 0 || std::string(" ,[").find(help[at - 1]) != std::string::npos;
    if (starts && end < help.size() && std::islower(help[end])) {
      while (end < help.size() && (std::islower(help[end]) || help[end] == '-'))
        ++end;
      options.push_back(help.substr(at, end - at));
    }
    at = end;
  }
  return options;
}

const Family kFamilies[] = {Family::kPlain, Family::kGin, Family::kGov};

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

json InspectJson(const std::vector<std::string>& args, int expectedCode = 0) {
  std::vector<std::string> argv = {"inspect", "--json"};
  argv.insert(argv.end(), args.begin(), args.end());
  ofdtest::Run run = RunOfdseal(argv);
  EXPECT_EQ(run.code, expectedCode) << run.err;
  json j = json::parse(run.out, nullptr, false);
  EXPECT_FALSE(j.is_discarded()) << run.out;
  return j;
}

// number -> property object of an inspect report
std::map<int, json> ByNumber(const json& properties) {
  std::map<int, json> out;
  for (const json& p : properties) out[p["number"].get<int>()] = p;
  return out;
}

// ---------------------------------------------------------------------------
// inspect

TEST(OfdsealInspect, SealOfEachFamily) {
  for (Family family : kFamilies) {
    SCOPED_TRACE(fx::FamilyName(family));
    Scratch scratch;
    fx::SealSpec params;
    params.name = "检查用章";
    params.esID = "ES-42";
    params.width = 40;
    params.height = 30;
    WriteFile(scratch.Path("Seal.esl"), fx::MakeSeal(family, params));
    json j = InspectJson({scratch.Path("Seal.esl")});
    EXPECT_EQ(j["kind"], "seal");
    EXPECT_EQ(j["family"], fx::FamilyName(family));
    auto p = ByNumber(j["properties"]);
    EXPECT_EQ(p[9]["text"], "检查用章");
    EXPECT_EQ(p[8]["text"], "ES-42");
    EXPECT_EQ(p[56]["width"], 40);
    EXPECT_EQ(p[56]["height"], 30);
    EXPECT_EQ(p[53]["record"]["name"], "检查用章");
    EXPECT_EQ(p[53]["record"]["type"], "单位");  // seal type 1
    EXPECT_NE(p[6]["subject"].get<std::string>().find("CN="),
              std::string::npos);
    // Signature numbers are not asked of a bare seal.
    EXPECT_EQ(p.count(1), 0u);
    // Numbers a family does not serve carry the library's code.
    if (family == Family::kGin) {
      EXPECT_EQ(p[55]["error"]["code"], 5022);
    }
    if (family == Family::kPlain) {
      EXPECT_EQ(p[60]["error"]["code"], 5022);
    }
  }
}

TEST(OfdsealInspect, SignatureOfEachFamily) {
  for (Family family : kFamilies) {
    SCOPED_TRACE(fx::FamilyName(family));
    Scratch scratch;
    fx::SignatureSpec params;
    params.dataHash = Bytes(32, 0x5A);
    fx::PropertySpec props;
    props.esignId = "ID-<1>";
    props.picture = fx::PicturePattern(300);
    params.propertyInfo = fx::PropertyXml(props);
    WriteFile(scratch.Path("SignedValue.dat"),
              fx::MakeSignature(family, params));
    json j = InspectJson({scratch.Path("SignedValue.dat")});
    EXPECT_EQ(j["kind"], "signature");
    EXPECT_EQ(j["family"], fx::FamilyName(family));
    auto p = ByNumber(j["properties"]);
    EXPECT_EQ(p[20]["hex"], LowerHex(params.dataHash));
    EXPECT_EQ(p[15]["text"], "ID-<1>");
    EXPECT_EQ(p[3]["length"], 300);
    EXPECT_EQ(p[9]["text"], "测试科技有限公司公章");  // from the embedded seal
    EXPECT_EQ(p[18]["text"], "电子印章测试部");
  }
}

TEST(OfdsealInspect, PicturesGetTheirExtension) {
  struct Row {
    std::string type;
    Bytes data;
    std::string extension;
  };
  const Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 1, 2, 3};
  const Bytes jpg = {0xFF, 0xD8, 0xFF, 0xE0, 1, 2};
  const Row rows[] = {
      {"PNG", png, "png"},
      {"jpeg", jpg, "jpg"},
      {"GIF", {'G', 'I', 'F', '8', '9', 'a'}, "gif"},
      {"ofd", {'P', 'K', 3, 4, 0}, "ofd"},
      {"XYZ", png, "png"},         // unknown type: from the bytes
      {"../../evil", jpg, "jpg"},  // never part of a file name
      {"", {1, 2, 3}, "bin"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.type);
    Scratch scratch;
    fx::SealSpec seal;
    seal.pictureType = row.type;
    seal.pictureData = row.data;
    fx::SignatureSpec params;
    params.seal = fx::MakeSeal(Family::kGov, seal);
    fx::PropertySpec props;
    props.picture = fx::PicturePattern(100);
    params.propertyInfo = fx::PropertyXml(props);
    WriteFile(scratch.Path("sig.dat"), fx::MakeSignature(Family::kGov, params));
    // "pic.png" is taken as the base name "pic".
    json j = InspectJson(
        {"--picture", scratch.Path("pic.png"), scratch.Path("sig.dat")});
    ASSERT_EQ(j["pictures"].size(), 2u);
    EXPECT_EQ(j["pictures"][0]["file"], scratch.Path("pic." + row.extension));
    EXPECT_EQ(ofdtest::Slurp(scratch.Path("pic." + row.extension)),
              fx::ofd::ToString(row.data));
    EXPECT_EQ(j["pictures"][1]["file"], scratch.Path("pic-handwriting.bin"));
    EXPECT_EQ(ofdtest::Slurp(scratch.Path("pic-handwriting.bin")),
              fx::ofd::ToString(fx::PicturePattern(100)));
  }
}

TEST(OfdsealInspect, OfdDocument) {
  Scratch scratch;
  fx::ofd::Package doc = fx::ofd::MakeDocument();
  fx::ofd::AddSignature(&doc, fx::ofd::Sealing());
  fx::ofd::Sealing sign;
  sign.type = "Sign";
  fx::ofd::AddSignature(&doc, sign);
  fx::ofd::Sealing gin;
  gin.family = Family::kGin;
  fx::ofd::AddSignature(&doc, gin);
  fx::ofd::WriteZip(doc, scratch.Path("doc.ofd"));

  json j =
      InspectJson({"--picture", scratch.Path("p"), scratch.Path("doc.ofd")});
  EXPECT_EQ(j["kind"], "ofd");
  ASSERT_EQ(j["signatures"].size(), 3u);
  EXPECT_EQ(j["signatures"][0]["family"], "GOV");
  // The PKCS#7 signature: the verifier's answer and what it read.
  const json& pkcs7 = j["signatures"][1];
  EXPECT_EQ(pkcs7["result"]["code"], 0);
  EXPECT_EQ(pkcs7["pkcs7"]["signature_algorithm"], "SM2 with SM3");
  EXPECT_NE(pkcs7["pkcs7"]["signer"].get<std::string>().find("CN="),
            std::string::npos);
  EXPECT_EQ(j["signatures"][2]["family"], "GIN");
  EXPECT_EQ(j["signatures"][2]["signed_value"],
            "/Doc_0/Signs/Sign_2/SignedValue.dat");
  EXPECT_EQ(j["signatures"][0]["pictures"][0]["file"], scratch.Path("p-1.png"));
  // Both seals carry the kit's picture: written once, for the first.
  EXPECT_EQ(j["signatures"][2]["pictures"][0]["file"], scratch.Path("p-1.png"));
  EXPECT_EQ(j["signatures"][2]["pictures"][0]["written"], false);
  EXPECT_FALSE(ofdtest::fs::exists(scratch.Path("p-3.png")));

  // A signature whose value is missing: reported, exit status 1.
  doc.Remove("Doc_0/Signs/Sign_0/SignedValue.dat");
  fx::ofd::WriteZip(doc, scratch.Path("broken.ofd"));
  j = InspectJson({scratch.Path("broken.ofd")}, 1);
  EXPECT_EQ(j["signatures"][0]["problems"].size(), 1u);
  EXPECT_EQ(j["signatures"][2]["family"], "GIN");
}

// Picture files are new files: an existing name, a symbolic link above
// all, is never written through; --force replaces the name itself.
TEST(OfdsealInspect, PicturesNeverFollowLinks) {
  struct Row {
    const char* name;
    bool link;  // p-1.png is a symbolic link to "victim"; else a file
    bool force;
    int code;
  };
  const Row rows[] = {
      {"link", true, false, 2},
      {"file", false, false, 2},
      {"link, --force", true, true, 0},
      {"file, --force", false, true, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Scratch scratch;
    const std::string picture = scratch.Path("p-1.png");
    std::ofstream(scratch.Path("victim")) << "keep";
    if (row.link) {
      ofdtest::fs::create_symlink(scratch.Path("victim"), picture);
    } else {
      std::ofstream(picture) << "old";
    }
    std::vector<std::string> args = {"inspect", "--picture", scratch.Path("p")};
    if (row.force) args.push_back("--force");
    args.push_back("examples/plain-sm2.ofd");
    ofdtest::Run run = RunOfdseal(args, KX_SOURCE_DIR);
    EXPECT_EQ(run.code, row.code) << run.err;
    EXPECT_EQ(ofdtest::Slurp(scratch.Path("victim")), "keep");
    if (row.force) {
      EXPECT_FALSE(ofdtest::fs::is_symlink(picture));
      EXPECT_EQ(ofdtest::Slurp(picture).rfind("\x89PNG", 0), 0u);
      EXPECT_EQ(std::distance(ofdtest::fs::directory_iterator(scratch.Path("")),
                              ofdtest::fs::directory_iterator()),
                2);  // no temporary file left beside them
    } else {
      EXPECT_NE(run.err.find("exists (--force replaces it)"), std::string::npos)
          << run.err;
    }
  }
}

TEST(OfdsealInspect, TextReport) {
  ofdtest::Run run =
      RunOfdseal({"inspect", "examples/gin-sm2.ofd"}, KX_SOURCE_DIR);
  EXPECT_EQ(run.code, 0);
  for (const char* line :
       {"Signature 1 of 1: ID 1, type Seal\n", "  Family: GIN\n",
        "  ES_SEAL_NAME (9): 示例科技有限公司合同专用章\n",
        "  ES_SIG_TIME (5): 2024-06-18 10:30:00\n",
        "  ES_PIC_SIZE (56): 40 x 40\n", "  ES_SIG_WRITE_PIC (3): "})
    EXPECT_NE(run.out.find(line), std::string::npos) << line;
  // Numbers the GIN family does not serve are left out of the text report.
  EXPECT_EQ(run.out.find("ES_OWNER_CERT (55)"), std::string::npos);
}

TEST(OfdsealInspect, NeitherSealNorSignature) {
  Scratch scratch;
  WriteFile(scratch.Path("junk"), {0x30, 0x03, 0x02, 0x01, 0x01});
  ofdtest::Run run = RunOfdseal({"inspect", scratch.Path("junk")});
  EXPECT_EQ(run.code, 2);
  EXPECT_NE(run.err.find("neither a seal, a seal signature nor an OFD package"),
            std::string::npos);
  run = RunOfdseal({"inspect", "--picture", scratch.Path("no/such/dir/p"),
                    "examples/plain-sm2.ofd"},
                   KX_SOURCE_DIR);
  EXPECT_EQ(run.code, 2);
  EXPECT_NE(run.err.find("cannot write"), std::string::npos);
}

// ---------------------------------------------------------------------------
// digest: the library's digest equals OpenSSL's.

TEST(OfdsealDigest, MatchesOpenSsl) {
  struct Row {
    const char* alg;
    const EVP_MD* md;
  };
  const Row rows[] = {
      {"sm3", EVP_sm3()},
      {"SM3", EVP_sm3()},
      {"1.2.156.10197.1.401", EVP_sm3()},
      {"sha1", EVP_sha1()},
      {"SHA-1", EVP_sha1()},
      {"sha224", EVP_sha224()},
      {"sha256", EVP_sha256()},
      {"2.16.840.1.101.3.4.2.1", EVP_sha256()},
      {"sha384", EVP_sha384()},
      {"sha512", EVP_sha512()},
      {"md5", EVP_md5()},
      {"672", EVP_sha256()},
  };
  Scratch scratch;
  const Bytes data = fx::PicturePattern(5000);
  WriteFile(scratch.Path("data"), data);
  WriteFile(scratch.Path("empty"), {});
  for (const Row& row : rows) {
    SCOPED_TRACE(row.alg);
    for (const char* name : {"data", "empty"}) {
      const Bytes& input = std::string(name) == "data" ? data : Bytes();
      unsigned char md[EVP_MAX_MD_SIZE];
      unsigned int len = 0;
      ASSERT_TRUE(
          EVP_Digest(input.data(), input.size(), md, &len, row.md, nullptr));
      ofdtest::Run run =
          RunOfdseal({"digest", "--alg", row.alg, scratch.Path(name)});
      EXPECT_EQ(run.code, 0);
      EXPECT_EQ(run.out, LowerHex(Bytes(md, md + len)) + "\n");
    }
  }
  // The default is SM3.
  ofdtest::Run run = RunOfdseal({"digest", scratch.Path("data")});
  EXPECT_EQ(run.out, LowerHex(fx::Sm3(data)) + "\n");
}

// ---------------------------------------------------------------------------
// The command line

TEST(OfdsealCommandLine, UsageErrors) {
  struct Row {
    std::vector<std::string> args;
    const char* message;
  };
  const Row rows[] = {
      {{}, "ofdseal: missing COMMAND"},
      {{"stamp", "x"}, "ofdseal: unknown command 'stamp'"},
      {{"sign", "x"}, "ofdseal sign: missing --seal"},
      {{"sign", "x", "--seal", "s", "--out", "o", "--device", "--key", "k"},
       "ofdseal sign: give --key with --cert, or --device"},
      {{"seal", "make", "--bogus"}, "ofdseal seal make: unknown option '--bogus'"},
      {{"verify"}, "ofdseal verify: missing FILE"},
      {{"inspect", "a", "b"}, "ofdseal inspect: one FILE only"},
      {{"verify", "--picture", "x", "a"},
       "ofdseal verify: unknown option '--picture'"},
      {{"verify", "--max-size", "lots", "a"},
       "bad value 'lots' for --max-size"},
      {{"verify", "--max-entries", "0", "a"},
       "bad value '0' for --max-entries"},
      {{"verify", "--max-size"}, "option '--max-size' needs a value"},
      {{"verify", "--trust"}, "option '--trust' needs a value"},
      {{"verify", "--trust=", "a"}, "--trust needs a file name"},
      {{"verify", "--no-default-trust=no", "a"},
       "unknown option '--no-default-trust=no'"},
      {{"verify", "--trust", "/nonexistent.pem", "a"},
       "--trust cannot read '/nonexistent.pem'"},
      {{"verify", "--trust", KX_SOURCE_DIR "/README.md", "a"},
       "README.md' holds no PEM certificate"},
      {{"inspect", "--picture"}, "option '--picture' needs a value"},
      {{"inspect", "--picture=", "x"}, "--picture needs a file name"},
      {{"inspect", "--json=yes", "x"}, "unknown option '--json=yes'"},
      {{"digest", "--alg", "crc32", "x"},
       "ofdseal digest: unknown algorithm 'crc32'"},
      {{"digest", "--json", "x"}, "unknown option '--json'"},
      {{"digest", "/nonexistent/file"}, "cannot read '/nonexistent/file'"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.message);
    ofdtest::Run run = RunOfdseal(row.args);
    EXPECT_EQ(run.code, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find(row.message), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1)
        << "one line: " << run.err;
  }
}

TEST(OfdsealCommandLine, HelpOnEveryCommand) {
  struct Row {
    std::vector<std::string> args;
    const char* first;
  };
  const Row rows[] = {
      {{"--help"}, "Usage: ofdseal COMMAND"},
      {{"help"}, "Usage: ofdseal COMMAND"},
      {{"verify", "--help"}, "Usage: ofdseal verify"},
      {{"verify", "-h", "unused.ofd"}, "Usage: ofdseal verify"},
      {{"inspect", "--help"}, "Usage: ofdseal inspect"},
      {{"digest", "--help"}, "Usage: ofdseal digest"},
      {{"device", "--help"}, "Usage: ofdseal device"},
      {{"device", "init", "--help"}, "Usage: ofdseal device init"},
      {{"device", "import", "-h"}, "Usage: ofdseal device import"},
      {{"device", "add-seal", "--help"}, "Usage: ofdseal device add-seal"},
      {{"device", "list", "--help"}, "Usage: ofdseal device list"},
      {{"offline", "check", "--help"}, "Usage: ofdseal offline check"},
      {{"seal", "--help"}, "Usage: ofdseal seal make"},
      {{"seal", "make", "-h"}, "Usage: ofdseal seal make"},
      {{"sign", "--help"}, "Usage: ofdseal sign"},
  };
  // The manual page names every command and every option of the help texts.
  const std::string manual = ManualText();
  for (const Row& row : rows) {
    ofdtest::Run run = RunOfdseal(row.args);
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.out.rfind(row.first, 0), 0u) << run.out;
    EXPECT_EQ(run.out.find('%'), std::string::npos) << run.out;
    const std::string usage = run.out.substr(0, run.out.find('\n'));
    std::istringstream words(usage.substr(sizeof "Usage: ofdseal" - 1));
    std::string command;
    for (std::string word; words >> word && std::islower(word[0]);)
      command += (command.empty() ? "" : " ") + word;
    EXPECT_NE(manual.find(command), std::string::npos) << usage;
    for (const std::string& option : OptionsIn(run.out))
      EXPECT_NE(manual.find(option), std::string::npos)
          << option << " of " << usage;
  }
  ofdtest::Run run = RunOfdseal({"--version"});
  EXPECT_EQ(run.out, "ofdseal 1.0.0\n");
}

// Every member of the verify report, as the schema names them, is in the
// manual page.
TEST(OfdsealCommandLine, ManualNamesEveryReportMember) {
  const std::string manual = ManualText();
  std::ifstream in(std::string(KX_SOURCE_DIR) +
                   "/tools/ofdseal/ofdseal-report.schema.json");
  const json schema = json::parse(in);
  for (const auto& [name, definition] : schema["$defs"].items()) {
    json objects = json::array({definition});
    if (definition.contains("oneOf")) objects = definition["oneOf"];
    for (const json& object : objects) {
      const json members = object.value("properties", json::object());
      for (const auto& [member, rule] : members.items())
        EXPECT_NE(manual.find(member), std::string::npos)
            << name << "." << member;
    }
  }
}

// A report that cannot be written is a failure, with one line saying so.
TEST(OfdsealCommandLine, UnwrittenReportFails) {
  const std::vector<std::string> commands[] = {
      {"verify", "--no-default-trust", "examples/plain-sm2.ofd"},
      {"verify", "--json", "--no-default-trust", "examples/page-changed.ofd"},
      {"inspect", "examples/gin-sm2.ofd"},
      {"digest", "examples/gin-sm2.ofd"},
      {"verify", "--help"},
  };
  ofdtest::Setup full;
  full.out = "/dev/full";
  for (const auto& args : commands) {
    SCOPED_TRACE(args[0] + " " + args[1]);
    ofdtest::Run run = RunOfdseal(args, KX_SOURCE_DIR, {}, full);
    EXPECT_EQ(run.code, 2);
    EXPECT_EQ(
        run.err.rfind("ofdseal: cannot write the report to standard output", 0),
        0u);
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
  }
}

TEST(OfdsealCommandLine, OptionsAfterTheFileAndDoubleDash) {
  ofdtest::Run run = RunOfdseal(
      {"verify", "examples/plain-sm2.ofd", "--json", "--no-default-trust"},
      KX_SOURCE_DIR);
  EXPECT_EQ(run.code, 0);
  EXPECT_EQ(run.out.rfind("{", 0), 0u);
  run = RunOfdseal(
      {"verify", "--no-default-trust", "--", "examples/plain-sm2.ofd"},
      KX_SOURCE_DIR);
  EXPECT_EQ(run.code, 0);
}

}  // namespace
