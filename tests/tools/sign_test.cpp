// ofdseal seal make and sign: signed documents that ofdseal verify, the
// property calls and an independent reader (ofd_reader.py) accept, earlier
// signatures kept valid, every covered byte guarded, and refusals that write
// nothing.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/wait.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "SealVerify.h"
#include "fixtures.h"
#include "ofd_kit.h"
#include "ofdseal_run.h"
#include "package.h"

namespace {

using fx::KeyType;
using nlohmann::json;
using ofdtest::RunOfdseal;
using Entries = std::vector<std::pair<std::string, std::string>>;

void Write(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string Pem(const fx::Credential& c, bool key) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()),
                                                &BIO_free);
  if (key)
    PEM_write_bio_PrivateKey(bio.get(), c.key.get(), nullptr, nullptr, 0,
                             nullptr, nullptr);
  else
    PEM_write_bio_X509(bio.get(), c.cert.get());
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

std::string Be32(uint32_t v) {
  return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

// A PNG of w x h pixels declaring `ppm` pixels per metre (0: no pHYs).
std::string Png(uint32_t w, uint32_t h, uint32_t ppm) {
  const auto chunk = [](const std::string& type, const std::string& data) {
    const std::string body = type + data;
    return Be32(static_cast<uint32_t>(data.size())) + body +
           Be32(static_cast<uint32_t>(
               crc32(0, reinterpret_cast<const Bytef*>(body.data()),
                     static_cast<uInt>(body.size()))));
  };
  std::string png =
      "\x89PNG\r\n\x1A\n" +
      chunk("IHDR", Be32(w) + Be32(h) + std::string("\x08\x02\0\0\0", 5));
  if (ppm != 0) png += chunk("pHYs", Be32(ppm) + Be32(ppm) + "\x01");
  return png + chunk("IEND", "");
}

// A JPEG header: JFIF at `dpi` dots per inch, a baseline frame of w x h.
std::string Jpeg(unsigned w, unsigned h, unsigned dpi) {
  const auto be16 = [](unsigned v) {
    return std::string{char(v >> 8), char(v)};
  };
  return std::string("\xFF\xD8\xFF\xE0\0\x10JFIF\0\x01\x01\x01", 14) +
         be16(dpi) + be16(dpi) + std::string("\0\0\xFF\xC0\0\x0B\x08", 7) +
         be16(h) + be16(w) + std::string("\x01\x01\x11\0\xFF\xD9", 6);
}

std::string Digest(const EVP_MD* md, const std::string& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), out, &length, md, nullptr);
  return std::string(reinterpret_cast<char*>(out), length);
}

// Every entry of a package, in archive order.
Entries ReadEntries(const std::string& file) {
  ofdseal::Package package;
  std::string error;
  Entries out;
  EXPECT_TRUE(package.Open(file, ofdseal::Limits(), &error)) << error;
  for (const std::string& path : package.Paths()) {
    std::string bytes;
    package.Read(path, &bytes);
    out.emplace_back(path.substr(1), bytes);
  }
  return out;
}

std::string Entry(const Entries& entries, const std::string& name) {
  for (const auto& e : entries)
    if (e.first == name) return e.second;
  ADD_FAILURE() << "no entry " << name;
  return "";
}

std::string Property(const std::string& value, unsigned int flag) {
  const auto* der = reinterpret_cast<const unsigned char*>(value.data());
  const auto size = static_cast<unsigned int>(value.size());
  unsigned int length = 0;
  EXPECT_EQ(0u, SEF_ESealSignDataGetProperty(flag, der, size, nullptr, &length))
      << flag;
  std::string out(length, '\0');
  SEF_ESealSignDataGetProperty(
      flag, der, size, reinterpret_cast<unsigned char*>(&out[0]), &length);
  return out.substr(0, length);
}

// The independent reader's exit status; its report in `report`.
int ReadIndependently(const std::string& file, std::string* report) {
  const std::string command = std::string(KX_PYTHON3) +
                              " " KX_SOURCE_DIR "/tests/tools/ofd_reader.py '" +
                              file + "' 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[512];
  while (pipe != nullptr && fgets(buffer, sizeof buffer, pipe) != nullptr)
    *report += buffer;
  const int status = pipe == nullptr ? -1 : pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

json Verify(const std::string& file, int expected) {
  ofdtest::Run run =
      RunOfdseal({"verify", "--json", "--no-default-trust", file});
  EXPECT_EQ(run.code, expected) << run.err << run.out;
  return json::parse(run.out, nullptr, false);
}

// Keys, certificates, a picture and a software key device in a folder of
// the test's own.
class Kit {
 public:
  Kit() {
    for (KeyType type : {KeyType::kSm2, KeyType::kRsa}) {
      const std::string t = Name(type);
      Write(Path("signer-" + t + ".pem"), Pem(fx::DefaultSigner(type), false));
      Write(Path("signer-" + t + ".key"), Pem(fx::DefaultSigner(type), true));
      Write(Path("maker-" + t + ".pem"), Pem(fx::DefaultMaker(type), false));
      Write(Path("maker-" + t + ".key"), Pem(fx::DefaultMaker(type), true));
    }
    Write(Path("stamp.png"), Png(160, 160, 4000));  // 40 x 40 mm
  }
  static std::string Name(KeyType t) {
    return t == KeyType::kSm2 ? "sm2" : "rsa";
  }
  std::string Path(const std::string& name) const {
    return scratch_.Path(name);
  }
  std::string Cert(KeyType t) const {
    return Path("signer-" + Name(t) + ".pem");
  }
  std::string Key(KeyType t) const {
    return Path("signer-" + Name(t) + ".key");
  }

  // A seal owned by the signers of `owners`; `extra` options appended.
  std::string MakeSeal(const std::string& name, std::vector<KeyType> owners,
                       KeyType maker, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {
        "seal",         "make",
        "--picture",    Path("stamp.png"),
        "--name",       "测试合同章",
        "--id",         "1101080000042",
        "--maker-cert", Path("maker-" + Name(maker) + ".pem"),
        "--maker-key",  Path("maker-" + Name(maker) + ".key"),
        "--out",        Path(name)};
    for (KeyType o : owners) args.insert(args.end(), {"--owner-cert", Cert(o)});
    args.insert(args.end(), extra.begin(), extra.end());
    ofdtest::Run run = RunOfdseal(args);
    EXPECT_EQ(run.code, 0) << run.err;
    return Path(name);
  }
  // The software key device "k" (PIN 1234) holding the signer's key.
  ofdtest::Env Device(KeyType t) {
    const std::string dir = Path("devices");
    if (!devices_) {
      EXPECT_EQ(0, RunOfdseal({"device", "init", dir, "--device", "k", "--pin",
                               "1234"})
                       .code);
      devices_ = true;
    }
    EXPECT_EQ(
        0, RunOfdseal({"device", "import", dir, "--device", "k", "--container",
                       Name(t), "--cert", Cert(t), "--key", Key(t)})
               .code);
    return {{"SKFSOFT_DIR", dir}, {"OFDSEAL_PIN", "1234"}};
  }
  // ofdseal sign IN --seal SEAL --out OUT with the signer's PEM files, or on
  // the device (env set).
  ofdtest::Run Sign(const std::string& in, const std::string& seal,
                    const std::string& out, KeyType t, const ofdtest::Env& env,
                    std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"sign", in, "--seal", seal, "--out", out};
    if (env.empty())
      args.insert(args.end(), {"--key", Key(t), "--cert", Cert(t)});
    else
      args.insert(args.end(), {"--device", "--driver", KX_SKFSOFT});
    args.insert(args.end(), extra.begin(), extra.end());
    return RunOfdseal(args, "", env);
  }

 private:
  ofdtest::Scratch scratch_;
  bool devices_ = false;
};

TEST(OfdsealSign, SignedDocumentsVerifyAndReadBack) {
  struct Row {
    const char* family;
    KeyType signer, maker;
    bool device;
    bool prefixed, nameSignatures;  // of the document
  };
  const Row rows[] = {
      {"gov", KeyType::kSm2, KeyType::kSm2, false, true, false},
      {"gov", KeyType::kRsa, KeyType::kRsa, false, false, false},
      {"gov", KeyType::kSm2, KeyType::kRsa, true, true, true},
      {"gov", KeyType::kRsa, KeyType::kSm2, true, true, false},
      {"plain", KeyType::kSm2, KeyType::kSm2, false, true, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.family) + " " + Kit::Name(row.signer) +
                 (row.device ? " device" : " PEM"));
    Kit kit;
    fx::ofd::DocumentSpec params;
    params.prefixed = row.prefixed;
    params.nameSignatures = row.nameSignatures;
    const std::string in = kit.Path("in.ofd"), out = kit.Path("out.ofd");
    fx::ofd::WriteZip(fx::ofd::MakeDocument(params), in);
    const std::string seal = kit.MakeSeal("seal.esl", {row.signer}, row.maker,
                                          {"--family", row.family});
    const ofdtest::Env env =
        row.device ? kit.Device(row.signer) : ofdtest::Env();
    ofdtest::Run run = kit.Sign(
        in, seal, out, row.signer, env,
        {"--reason", "合同确认 <1>", "--location", "北京", "--at", "30.5,40"});
    ASSERT_EQ(run.code, 0) << run.err;

    json report = Verify(out, 0);
    EXPECT_EQ(report["verdict"], "valid (untrusted)");
    std::string independent;
    EXPECT_EQ(ReadIndependently(out, &independent), 0) << independent;

    // The original entries, unchanged and in place; OFD.xml names a new
    // signature list.
    const Entries before = ReadEntries(in), after = ReadEntries(out);
    ASSERT_EQ(after.size(), before.size() + 4);
    for (size_t i = 0; i < before.size(); ++i) {
      EXPECT_EQ(after[i].first, before[i].first);
      if (before[i].first != "OFD.xml" || row.nameSignatures) {
        EXPECT_EQ(after[i].second, before[i].second) << before[i].first;
      }
    }
    EXPECT_NE(
        Entry(after, "OFD.xml").find("Signatures>Doc_0/Signs/Signatures.xml<"),
        std::string::npos);
    const std::string xml = Entry(after, "Doc_0/Signs/Sign_0/Signature.xml");
    EXPECT_NE(xml.find("PageRef=\"1\" Boundary=\"30.5 40 40 40\""),
              std::string::npos);
    EXPECT_EQ(Entry(after, "Doc_0/Signs/Sign_0/Seal.esl"),
              ofdtest::Slurp(seal));

    // Every field of the new signature through the property calls.
    const std::string value =
        Entry(after, "Doc_0/Signs/Sign_0/SignedValue.dat");
    const bool sm2 = row.signer == KeyType::kSm2;
    EXPECT_EQ(Property(value, 20), Digest(sm2 ? EVP_sm3() : EVP_sha256(), xml));
    const fx::Bytes& cert = fx::DefaultSigner(row.signer).certDer;
    EXPECT_EQ(Property(value, 2), std::string(cert.begin(), cert.end()));
    EXPECT_EQ(Property(value, 14),
              std::string(1, row.family[0] == 'g' ? 4 : 2));
    EXPECT_EQ(Property(value, 8), "1101080000042");
    EXPECT_EQ(Property(value, 9), "测试合同章");
    EXPECT_EQ(Property(value, 15).size(), 32u);  // esignId
    EXPECT_EQ(Property(value, 5).size(), 19u);   // the signing time as text
    EXPECT_NE(Property(value, 25).find(
                  "<Reason>&#x5408;&#x540C;&#x786E;&#x8BA4; &lt;1&gt;</Reason>"
                  "<Location>&#x5317;&#x4EAC;</Location>"),
              std::string::npos);
  }
}

// A document sealed elsewhere, signed twice more: every signature stays
// valid, the last covers the earlier ones' files, and a change to any byte
// it covers makes it fail.
TEST(OfdsealSign, LaterSignaturesKeepEarlierOnesAndGuardEveryFile) {
  Kit kit;
  fx::ofd::Package doc = fx::ofd::MakeDocument();
  fx::ofd::AddSignature(&doc, fx::ofd::Sealing());
  const std::string in = kit.Path("in.ofd");
  fx::ofd::WriteZip(doc, in);
  const std::string seal =
      kit.MakeSeal("seal.esl", {KeyType::kSm2, KeyType::kRsa}, KeyType::kSm2);
  ASSERT_EQ(0, kit.Sign(in, seal, kit.Path("one.ofd"), KeyType::kSm2, {}).code);
  const std::string two = kit.Path("two.ofd");
  ofdtest::Run run =
      kit.Sign(kit.Path("one.ofd"), seal, two, KeyType::kRsa, {});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.out.find("ID 3, /Doc_0/Signs/Sign_2/Signature.xml"),
            std::string::npos);

  json report = Verify(two, 0);
  ASSERT_EQ(report["signatures"].size(), 3u);
  for (const json& s : report["signatures"])
    EXPECT_EQ(s["verdict"], "valid (untrusted)");
  std::string independent;
  EXPECT_EQ(ReadIndependently(two, &independent), 0) << independent;

  const Entries entries = ReadEntries(two);
  const std::string last = Entry(entries, "Doc_0/Signs/Sign_2/Signature.xml");
  std::vector<std::string> covered;
  // Every FileRef="/..." value (std::regex warns in the sanitizer build).
  const std::string key = "FileRef=\"/";
  for (size_t at = last.find(key); at != std::string::npos;
       at = last.find(key, at)) {
    at += key.size();
    const size_t end = last.find('"', at);
    if (end == std::string::npos) break;
    covered.push_back(last.substr(at, end - at));
  }
  for (const char* earlier : {"Doc_0/Signs/Sign_0/SignedValue.dat",
                              "Doc_0/Signs/Sign_1/Signature.xml", "OFD.xml"})
    EXPECT_NE(std::find(covered.begin(), covered.end(), earlier), covered.end())
        << earlier;
  EXPECT_EQ(last.find("Signatures.xml\""), std::string::npos);
  for (const std::string& name : covered) {
    SCOPED_TRACE(name);
    Entries changed = entries;
    for (auto& e : changed)
      if (e.first == name) e.second += ' ';
    fx::ofd::WriteZip(changed, kit.Path("changed.ofd"));
    report = Verify(kit.Path("changed.ofd"), 1);
    EXPECT_EQ(report["signatures"][2]["verdict"], "invalid");
  }
}

TEST(OfdsealSign, RefusalsWriteNothing) {
  Kit kit;
  const std::string in = kit.Path("in.ofd"), out = kit.Path("out.ofd");
  fx::ofd::WriteZip(fx::ofd::MakeDocument(), in);
  const std::string seal =
      kit.MakeSeal("seal.esl", {KeyType::kSm2}, KeyType::kSm2);
  const std::string old =
      kit.MakeSeal("old.esl", {KeyType::kSm2}, KeyType::kSm2,
                   {"--valid-from", "2020-01-01", "--valid-to", "2021-01-01"});
  const fx::Bytes gin = fx::MakeSeal(fx::Family::kGin);
  Write(kit.Path("gin.esl"), fx::ofd::ToString(gin));
  fx::ofd::WriteZip(Entries{{"a.txt", "x"}}, kit.Path("plain.zip"));
  // A signature that covers the signature list: extending it would break it.
  fx::ofd::Package listed = fx::ofd::MakeDocument();
  fx::ofd::AddSignature(&listed, fx::ofd::Sealing());
  fx::ofd::Sealing coversList;
  coversList.references =
      std::vector<std::string>{"/Doc_0/Signs/Signatures.xml"};
  fx::ofd::AddSignature(&listed, coversList);
  fx::ofd::WriteZip(listed, kit.Path("listed.ofd"));
  Write(kit.Path("exists.ofd"), "keep");
  ofdtest::Env device = kit.Device(KeyType::kSm2);
  device[1].second = "0000";  // a wrong PIN

  const std::string sm2Key = kit.Key(KeyType::kSm2),
                    sm2Cert = kit.Cert(KeyType::kSm2);
  const std::string makerKey = kit.Path("maker-sm2.key"),
                    makerCert = kit.Path("maker-sm2.pem");
  const auto sign = [&](const std::string& file, const std::string& withSeal,
                        const std::string& key, const std::string& cert) {
    return std::vector<std::string>{"sign",  file, "--seal", withSeal,
                                    "--key", key,  "--cert", cert,
                                    "--out", out};
  };
  const auto make = [&](const std::string& picture, const std::string& key) {
    return std::vector<std::string>{
        "seal",         "make",  "--picture",    picture,
        "--name",       "n",     "--id",         "i",
        "--owner-cert", sm2Cert, "--maker-cert", makerCert,
        "--maker-key",  key,     "--out",        out};
  };
  struct Row {
    std::vector<std::string> args;
    ofdtest::Env env;
    std::string message;
  };
  std::vector<Row> rows = {
      {sign(kit.Path("stamp.png"), seal, sm2Key, sm2Cert),
       {},
       "as an OFD package"},
      {sign(kit.Path("plain.zip"), seal, sm2Key, sm2Cert),
       {},
       "not an OFD package: no OFD.xml"},
      {make(sm2Cert, makerKey), {}, "is not a PNG, JPEG or GIF picture"},
      {make(kit.Path("stamp.png"), sm2Key),
       {},
       "is not the key of the certificate"},
      {sign(in, seal, makerKey, sm2Cert),
       {},
       "is not the key of the certificate"},
      {sign(in, seal, makerKey, makerCert), {}, "is not an owner of the seal"},
      {sign(in, old, sm2Key, sm2Cert), {}, "2021-01-01 23:59:59, not now"},
      {sign(in, kit.Path("gin.esl"), sm2Key, sm2Cert), {}, "a GIN-family seal"},
      {sign(kit.Path("listed.ofd"), seal, sm2Key, sm2Cert),
       {},
       "signature 2 covers /Doc_0/Signs/Signatures.xml"},
      {{"sign", in, "--seal", seal, "--device", "--driver", KX_SKFSOFT, "--out",
        out},
       device,
       "wrong PIN for key device k: 9 attempts left"},
      {{"sign", in, "--seal", seal, "--device", "--driver", KX_SKFSOFT, "--out",
        out, "--cert", kit.Cert(KeyType::kRsa)},
       device,
       "is not an owner of the seal"},
  };
  std::vector<std::string> page = sign(in, seal, sm2Key, sm2Cert);
  page.insert(page.end(), {"--page", "5"});
  rows.push_back({page, {}, "the document has 1 page, no page 5"});
  std::vector<std::string> exists = sign(in, seal, sm2Key, sm2Cert);
  exists.back() = kit.Path("exists.ofd");
  rows.push_back({exists, {}, "the file exists (--force replaces it)"});
  exists.back() = in;
  exists.push_back("--force");
  rows.push_back({exists, {}, "--out names the input file"});

  const Entries original = ReadEntries(in);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.message);
    ofdtest::Run run = RunOfdseal(row.args, "", row.env);
    EXPECT_EQ(run.code, 2);
    EXPECT_NE(run.err.find(row.message), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1)
        << "one line: " << run.err;
    EXPECT_FALSE(ofdtest::fs::exists(out));
  }
  EXPECT_EQ(ofdtest::Slurp(kit.Path("exists.ofd")), "keep");
  for (const auto& file : ofdtest::fs::directory_iterator(kit.Path("")))
    EXPECT_EQ(file.path().string().find(".tmp-"), std::string::npos)
        << file.path();
  EXPECT_EQ(ReadEntries(in), original);
  // --force replaces an existing file.
  exists.pop_back();
  exists.back() = kit.Path("exists.ofd");
  exists.push_back("--force");
  EXPECT_EQ(RunOfdseal(exists).code, 0);
  Verify(kit.Path("exists.ofd"), 0);
}

// The picture's type and display size as the seal records them, and the
// fields inspect reads back.
TEST(OfdsealSealMake, PicturesAndFields) {
  struct Row {
    std::string picture;
    std::vector<std::string> extra;
    const char* type;  // null: refused
    int width, height;
  };
  const Row rows[] = {
      {Png(160, 160, 4000), {}, "PNG", 40, 40},
      {Png(96, 48, 0), {}, "PNG", 25, 13},  // 96 dots per inch
      {Png(96, 48, 0), {"--size", "42,38"}, "PNG", 42, 38},
      {Jpeg(472, 354, 300), {}, "JPG", 40, 30},
      {std::string("GIF89a\x97\0\x97\0\0\0\0;", 14), {}, "GIF", 40, 40},
      {Png(160, 160, 4000).substr(0, 20), {}, nullptr, 0, 0},
      {Jpeg(10, 10, 72).substr(0, 20), {}, nullptr, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.type ? row.type : "refused");
    Kit kit;
    Write(kit.Path("stamp.png"), row.picture);
    std::vector<std::string> args = {
        "seal",         "make",
        "--picture",    kit.Path("stamp.png"),
        "--name",       "人事专用章",
        "--id",         "0102030405060708090a0b0c0d0e0f10",
        "--type",       "personal",
        "--valid-from", "2025-01-01",
        "--valid-to",   "2030-06-30 12:00:00",
        "--owner-cert", kit.Cert(KeyType::kSm2),
        "--owner-cert", kit.Cert(KeyType::kRsa),
        "--maker-cert", kit.Path("maker-sm2.pem"),
        "--maker-key",  kit.Path("maker-sm2.key"),
        "--out",        kit.Path("seal.esl")};
    args.insert(args.end(), row.extra.begin(), row.extra.end());
    ofdtest::Run run = RunOfdseal(args);
    if (row.type == nullptr) {
      EXPECT_EQ(run.code, 2);
      EXPECT_FALSE(ofdtest::fs::exists(kit.Path("seal.esl")));
      continue;
    }
    ASSERT_EQ(run.code, 0) << run.err;
    run = RunOfdseal({"inspect", "--json", kit.Path("seal.esl")});
    json j = json::parse(run.out, nullptr, false);
    std::map<int, json> p;
    for (const json& property : j["properties"])
      p[property["number"]] = property;
    EXPECT_EQ(j["family"], "GOV");
    EXPECT_EQ(p[59]["text"], row.type);
    EXPECT_EQ(p[56]["width"], row.width);
    EXPECT_EQ(p[56]["height"], row.height);
    EXPECT_EQ(p[9]["text"], "人事专用章");
    EXPECT_EQ(p[8]["text"], "0102030405060708090a0b0c0d0e0f10");
    EXPECT_EQ(p[53]["record"]["type"], "个人");
    EXPECT_EQ(p[11]["text"], "2025-01-01 00:00:00");
    EXPECT_EQ(p[12]["text"], "2030-06-30 12:00:00");
    EXPECT_NE(p[22]["text"].get<std::string>().find(";C="), std::string::npos);
    EXPECT_NE(p[6]["subject"].get<std::string>().find("CN=印章制作"),
              std::string::npos);
  }
}

}  // namespace
