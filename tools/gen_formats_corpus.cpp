// gen_formats_corpus DIR: writes the seed corpus of the formats fuzzer into
// DIR (fuzz/corpus/formats/): seals and signatures of the three families, with
// and without their OPTIONAL fields, the nested structures on their own, and a
// few BER and broken shapes. Keys are new on every run, so the bytes change
// from run to run; the shapes do not.
#include <cctype>
#include <cstdio>
#include <fstream>
#include <string>

#include "fixtures.h"

namespace {

using fx::Bytes;
using fx::Family;

std::string g_dir;
int g_count = 0;

void Write(const std::string& name, const Bytes& bytes) {
  std::ofstream out(g_dir + "/" + name + ".der", std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  ++g_count;
}

// The element at `index` among the children of the outer element.
Bytes Child(const Bytes& der, size_t index) {
  size_t pos = 1;
  auto length = [&der](size_t* at) {
    size_t len = der[(*at)++];
    if (len & 0x80) {
      size_t n = len & 0x7F;
      len = 0;
      while (n-- > 0) len = len << 8 | der[(*at)++];
    }
    return len;
  };
  length(&pos);
  for (size_t i = 0;; ++i) {
    size_t start = pos++;
    size_t len = length(&pos);
    if (i == index) return Bytes(der.begin() + start, der.begin() + pos + len);
    pos += len;
  }
}

Bytes Path(Bytes der, std::initializer_list<size_t> path) {
  for (size_t i : path) der = Child(der, i);
  return der;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  g_dir = argv[1];

  fx::SealSpec full;
  full.extDatas = std::vector<fx::ExtensionSpec>{{}, {"1.2.3.4", true, {5}}};
  full.ginCertListExt = Bytes{1, 2, 3};
  fx::SignatureSpec fullSig;
  fullSig.verfyResult = fx::ResultDataSpec();
  fullSig.extDatas = std::vector<fx::ExtensionSpec>{{}};
  fullSig.timeStamp = std::vector<Bytes>{{1}, {2, 2}};

  for (Family f : {Family::kPlain, Family::kGin, Family::kGov}) {
    std::string family = fx::FamilyName(f);
    for (char& c : family) c = static_cast<char>(std::tolower(c));
    Bytes bare = fx::MakeSeal(f);
    Bytes tbs;
    Bytes withAll = fx::MakeSeal(f, full, &tbs);
    Write("seal_" + family + "_bare", bare);
    Write("seal_" + family + "_optional", withAll);
    Write("seal_" + family + "_signedpart", tbs);
    Write("seal_" + family + "_info", Path(bare, {0}));
    Write("seal_" + family + "_property", Path(bare, {0, 2}));

    fx::SignatureSpec sig;
    sig.seal = bare;
    Bytes bareSig = fx::MakeSignature(f, sig);
    fullSig.seal = withAll;
    Write("sig_" + family + "_bare", bareSig);
    Write("sig_" + family + "_optional", fx::MakeSignature(f, fullSig));
    Write("sig_" + family + "_tbs", Path(bareSig, {0}));
  }
  Bytes plain = fx::MakeSeal(Family::kPlain);
  Bytes gin = fx::MakeSeal(Family::kGin);
  Bytes gov = fx::MakeSeal(Family::kGov);
  Write("seal_header", Path(plain, {0, 0}));
  Write("seal_picture", Path(plain, {0, 3}));
  Write("seal_plain_signinfo", Path(plain, {1}));
  Write("seal_gin_certlist", Path(gin, {0, 2, 2}));
  Write("seal_gin_certdigest", Path(gin, {0, 2, 2, 0, 0}));
  Write("seal_gov_certlist", Path(gov, {0, 2, 3}));

  fx::SealSpec rsa;
  rsa.maker = fx::DefaultMaker(fx::KeyType::kRsa);
  Write("seal_gov_rsa", fx::MakeSeal(Family::kGov, rsa));
  fx::SealSpec digests;
  digests.govCertDigests =
      std::vector<fx::CertDigestSpec>{{"SM3", Bytes(32, 7)}};
  Bytes govDigests = fx::MakeSeal(Family::kGov, digests);
  Write("seal_gov_digestlist", govDigests);
  Write("seal_gov_certdigstobj", Path(govDigests, {0, 2, 3, 0}));
  fx::SealSpec v4;
  v4.version = 4;
  Write("seal_plain_version4", fx::MakeSeal(Family::kPlain, v4));

  fx::SignatureSpec embedded;
  embedded.ginEmbeddedSeal = true;
  embedded.verfyResult = fx::ResultDataSpec();
  Bytes coreGin = fx::MakeSignature(Family::kGin, embedded);
  Write("sig_gin_embedded_seal", coreGin);
  Write("sig_gin_resultdata", Path(coreGin, {0, 5}));
  Write("tbs_server",
        fx::asn::Seq({plain, fx::asn::Bits(fx::ToBytes("20240101000000Z")),
                      fx::asn::Bits(Bytes(32, 1))}));
  Write("gov_tbs_seal", fx::asn::Seq({Path(gov, {0})}));

  // BER and broken shapes.
  size_t header = 2 + (plain[1] & 0x80 ? plain[1] & 0x7F : 0);
  Bytes indefinite{0x30, 0x80};
  indefinite.insert(indefinite.end(), plain.begin() + header, plain.end());
  indefinite.insert(indefinite.end(), {0, 0});
  Write("ber_indefinite_seal", indefinite);
  Write("truncated_gov_seal", Bytes(gov.begin(), gov.begin() + gov.size() / 2));
  Write("empty", {});

  std::printf("wrote %d files to %s\n", g_count, g_dir.c_str());
  return 0;
}
