// gen_properties_corpus DIR: writes the seed corpus of the property fuzzer
// into DIR (fuzz/corpus/properties/). Each input is one byte choosing the
// property number, one byte choosing the readers (3: all), then a DER seal or
// seal signature of the fixture kit: the three families with their usual
// fields, several owners, none, long fields, bad certificates and times, and
// signatures with and without a handwriting picture. Keys are new on every
// run, so the bytes change from run to run; the shapes do not.
#include <cstdio>
#include <fstream>
#include <string>

#include "fixtures.h"

namespace {

using fx::Bytes;
using fx::Family;

std::string g_dir;
int g_count = 0;

void Write(const std::string& name, unsigned int flag, const Bytes& der) {
  Bytes input{static_cast<uint8_t>(flag), 0x03};
  input.insert(input.end(), der.begin(), der.end());
  std::ofstream out(g_dir + "/" + name + ".bin", std::ios::binary);
  out.write(reinterpret_cast<const char*>(input.data()),
            static_cast<std::streamsize>(input.size()));
  ++g_count;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  g_dir = argv[1];

  std::vector<Bytes> owners;
  for (const char* cn : {"甲", "乙", "丙"}) {
    fx::CertSpec cs;
    cs.subject.CN = cn;
    owners.push_back(fx::MakeCredential(cs, &fx::DefaultRoot()).certDer);
  }
  fx::SealSpec several;
  several.ownerCerts = owners;
  fx::SealSpec none;
  none.ownerCerts = std::vector<Bytes>{};
  none.ginCertDigests = std::vector<fx::CertDigestSpec>{};
  fx::SealSpec longFields;
  longFields.esID = std::string(70, 'I');
  longFields.name = std::string(1100, 'N');
  longFields.typeContent = {0x31};
  longFields.width = -1;
  longFields.height = 0x123456789;
  fx::SealSpec badCerts;
  fx::Credential junkMaker = fx::DefaultMaker();
  junkMaker.certDer = {0x30, 0x03, 0x02, 0x01, 0x05};
  badCerts.maker = junkMaker;
  badCerts.ownerCerts = std::vector<Bytes>{Bytes{}};
  badCerts.validStartText = "2024";

  const struct {
    Family family;
    const char* name;
  } families[] = {
      {Family::kPlain, "plain"}, {Family::kGin, "gin"}, {Family::kGov, "gov"}};
  for (const auto& f : families) {
    const std::string n = f.name;
    Write("seal_" + n + "_summary", 53, fx::MakeSeal(f.family));
    Write("seal_" + n + "_subjects", 22, fx::MakeSeal(f.family, several));
    Write("seal_" + n + "_empty_owners", 55, fx::MakeSeal(f.family, none));
    Write("seal_" + n + "_long", 56, fx::MakeSeal(f.family, longFields));
    Write("seal_" + n + "_bad_certs", 24, fx::MakeSeal(f.family, badCerts));

    fx::SignatureSpec sig;
    sig.seal = fx::MakeSeal(f.family);
    fx::PropertySpec property;
    property.picture = fx::PicturePattern(1000);
    sig.propertyInfo = fx::PropertyXml(property);
    Write("sig_" + n + "_picture", 3, fx::MakeSignature(f.family, sig));
    fx::SignatureSpec plainSig;
    Write("sig_" + n + "_seal_flag", 9, fx::MakeSignature(f.family, plainSig));
    fx::SignatureSpec notXml;
    notXml.propertyInfo = "not xml";
    Write("sig_" + n + "_not_xml", 15, fx::MakeSignature(f.family, notXml));
  }
  fx::SealSpec version4;
  version4.version = 4;
  Write("seal_plain_version4", 8, fx::MakeSeal(Family::kPlain, version4));
  Write("empty", 6, Bytes{});
  std::printf("wrote %d inputs to %s\n", g_count, g_dir.c_str());
  return 0;
}
