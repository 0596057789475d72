// Writes the seed corpus of the PKCS#7 fuzzer (fuzz/corpus/pkcs7/) with the
// fixture kit: each seed is a 2-byte big-endian length, a short
// Signature.xml, then a SignedValue over it.
#include <cstdio>
#include <fstream>
#include <string>

#include "pkcs7_kit.h"

namespace {

void Write(const std::string& dir, const std::string& name,
           const fx::Bytes& xml, const fx::Bytes& value) {
  fx::Bytes seed{static_cast<uint8_t>(xml.size() >> 8),
                 static_cast<uint8_t>(xml.size() & 0xFF)};
  seed.insert(seed.end(), xml.begin(), xml.end());
  seed.insert(seed.end(), value.begin(), value.end());
  std::ofstream out(dir + "/" + name, std::ios::binary);
  out.write(reinterpret_cast<const char*>(seed.data()),
            static_cast<std::streamsize>(seed.size()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: gen_pkcs7_corpus DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  const fx::Bytes xml = fx::ToBytes("<ofd:Signature/>");

  fx::Pkcs7Spec shape;
  Write(dir, "detached_gm.bin", xml, fx::MakePkcs7(xml, shape));
  shape.ber = true;
  shape.rfcOids = true;
  Write(dir, "detached_ber.bin", xml, fx::MakePkcs7(xml, shape));
  shape = fx::Pkcs7Spec();
  shape.subjectKeyIdentifier = true;
  shape.signingTime.reset();
  Write(dir, "detached_key_id.bin", xml, fx::MakePkcs7(xml, shape));
  shape = fx::Pkcs7Spec();
  shape.encapsulated = true;
  shape.rawSignature = true;
  Write(dir, "encapsulated_raw.bin", xml, fx::MakePkcs7(xml, shape));
  shape.rawSignature = false;
  shape.ber = true;
  shape.content = xml;
  Write(dir, "encapsulated_ber.bin", xml, fx::MakePkcs7(xml, shape));
  Write(dir, "openssl_rsa.bin", xml,
        fx::MakePkcs7WithOpenSsl(xml, fx::DefaultSigner(fx::KeyType::kRsa)));
  Write(dir, "bare_signature.bin", xml, fx::Sign(fx::DefaultSigner(), xml));
  Write(dir, "empty.bin", {}, {});
  return 0;
}
