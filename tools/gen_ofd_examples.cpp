// gen_ofd_examples DIR: writes the sealed OFD documents of examples/ into DIR
// with the fixture kit of the tests:
//
//   plain-sm2.ofd          plain-family seal, SM2 signer
//   gin-sm2.ofd            GIN-family seal, SM2 signer, handwriting picture
//   gov-rsa.ofd            GOV-family seal, RSA signer (SHA-256)
//   two-signatures.ofd     a GOV seal (RSA signer), then a plain seal (SM2)
//   page-changed.ofd       the page was changed after sealing
//   signature-altered.ofd  one byte of the seal signature's value changed
//   pkcs7-sm2.ofd          a PKCS#7 signature (Type="Sign", SM2, detached
//                          with signed attributes) by a signer whose
//                          certificate an intermediate issued; the
//                          SignedData carries both certificates
//   example-root.pem       the root certificate that issued the seal maker's
//                          and the signers' certificates (directly, or
//                          through that intermediate)
//
// Each seal names its signer as its owner. The certificates are valid from
// 2024-01-01 (the root until 2045, the others until 2035), so the signing
// time 2024-06-18 lies within them. Keys are new on every run, so the bytes
// change from run to run; names, times and verification results do not.
#include <openssl/pem.h>
#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "fixtures.h"
#include "ofd_kit.h"
#include "pkcs7_kit.h"

namespace {

using fx::Bytes;
using fx::Family;

// 2024-06-18 10:30:00 in China Standard Time.
const time_t kSignTime = 1718677800;
const time_t kSealStart = 1704038400;  // 2024-01-01 00:00:00 +08:00
const time_t kSealEnd = 1861891199;    // 2028-12-31 23:59:59 +08:00
const time_t kCertEnd = 2082729599;    // 2035-12-31 23:59:59 +08:00
const time_t kRootEnd = 2398348799;    // 2045-12-31 23:59:59 +08:00

// ---------------------------------------------------------------------------
// A small PNG writer (RGBA, no filtering), for real pictures in the seals.

void PutU32(std::string* out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out->push_back(static_cast<char>((v >> shift) & 0xFF));
}

void Chunk(std::string* png, const char* type, const std::string& data) {
  PutU32(png, static_cast<uint32_t>(data.size()));
  std::string body = std::string(type, 4) + data;
  png->append(body);
  PutU32(png, static_cast<uint32_t>(
                  crc32(0, reinterpret_cast<const Bytef*>(body.data()),
                        static_cast<uInt>(body.size()))));
}

// `pixel(x, y)` returns RGBA packed as 0xRRGGBBAA.
template <class Pixel>
Bytes Png(int width, int height, Pixel pixel) {
  std::string raw;
  for (int y = 0; y < height; ++y) {
    raw.push_back(0);  // filter type none
    for (int x = 0; x < width; ++x) PutU32(&raw, pixel(x, y));
  }
  uLongf size = compressBound(static_cast<uLong>(raw.size()));
  std::string packed(size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(&packed[0]), &size,
                reinterpret_cast<const Bytef*>(raw.data()),
                static_cast<uLong>(raw.size()), 9) != Z_OK)
    throw std::runtime_error("compress2");
  packed.resize(size);
  std::string header;
  PutU32(&header, static_cast<uint32_t>(width));
  PutU32(&header, static_cast<uint32_t>(height));
  header += std::string("\x08\x06\x00\x00\x00", 5);  // 8-bit RGBA
  std::string png = "\x89PNG\r\n\x1A\n";
  Chunk(&png, "IHDR", header);
  Chunk(&png, "IDAT", packed);
  Chunk(&png, "IEND", "");
  return Bytes(png.begin(), png.end());
}

const double kPi = 3.14159265358979323846;

// Whether (x, y) lies in the five-pointed star of those radii around the
// origin, a point upwards (y grows downwards): even-odd rule over its ten
// corners.
bool InStar(double x, double y, double outer, double inner) {
  double px[10], py[10];
  for (int i = 0; i < 10; ++i) {
    const double angle = -kPi / 2 + i * kPi / 5;
    const double radius = i % 2 == 0 ? outer : inner;
    px[i] = radius * std::cos(angle);
    py[i] = radius * std::sin(angle);
  }
  bool inside = false;
  for (int i = 0, j = 9; i < 10; j = i++) {
    if ((py[i] > y) != (py[j] > y) &&
        x < (px[j] - px[i]) * (y - py[i]) / (py[j] - py[i]) + px[i])
      inside = !inside;
  }
  return inside;
}

// A red round seal: a ring around a five-pointed star.
Bytes SealPicture() {
  const int size = 120;
  return Png(size, size, [&](int x, int y) -> uint32_t {
    const double cx = x - size / 2.0 + 0.5;
    const double cy = y - size / 2.0 + 0.5;
    const double r = std::sqrt(cx * cx + cy * cy);
    const uint32_t red = 0xD0101CFF;
    if ((r <= 58 && r >= 52) || InStar(cx, cy, 26, 10)) return red;
    return 0x00000000;
  });
}

// A handwritten stroke: a damped wave in dark blue.
Bytes HandwritingPicture() {
  return Png(160, 48, [](int x, int y) -> uint32_t {
    double wave = 24 + 14 * std::sin(x / 9.0) * std::exp(-x / 150.0);
    return std::fabs(y - wave) < 1.6 ? 0x1A2A6CFF : 0x00000000;
  });
}

// ---------------------------------------------------------------------------

fx::Credential Root() {
  fx::CertSpec params;
  params.subject = {"CN", "示例根证书机构", "", "Example SM2 Root CA"};
  params.ca = true;
  params.notBefore = kSealStart;
  params.notAfter = kRootEnd;
  return fx::MakeCredential(params);
}

fx::Credential Issued(const fx::Credential& root, fx::KeyType type,
                      const fx::Name& subject, bool ca = false) {
  fx::CertSpec params;
  params.keyType = type;
  params.subject = subject;
  params.ca = ca;
  params.notBefore = kSealStart;
  params.notAfter = kCertEnd;
  return fx::MakeCredential(params, &root);
}

fx::Credential Person(const fx::Credential& root, fx::KeyType type,
                      const std::string& cn, const std::string& ou) {
  return Issued(root, type, {"CN", "示例科技有限公司", ou, cn});
}

Bytes Seal(Family family, const std::string& name, const std::string& id,
           const fx::Credential& maker, const fx::Credential& owner) {
  fx::SealSpec seal;
  seal.name = name;
  seal.esID = id;
  seal.maker = maker;
  seal.ownerCerts = std::vector<Bytes>{owner.certDer};
  seal.sVid = "SEALKIT-EXAMPLE";
  seal.createDate = kSealStart;
  seal.validStart = kSealStart;
  seal.validEnd = kSealEnd;
  seal.pictureData = SealPicture();
  seal.width = 40;
  seal.height = 40;
  return fx::MakeSeal(family, seal);
}

fx::ofd::Sealing Sealing(Family family, const fx::Credential& signer,
                         const Bytes& seal) {
  fx::ofd::Sealing s;
  s.family = family;
  s.provider = "sealkit example generator";
  s.signature.signer = signer;
  s.signature.seal = seal;
  s.signature.signTime = kSignTime;
  return s;
}

std::string g_dir;

void Write(const std::string& name, const fx::ofd::Package& doc) {
  fx::ofd::WriteZip(doc, g_dir + "/" + name);
  std::printf("wrote %s/%s\n", g_dir.c_str(), name.c_str());
}

void WritePem(const std::string& name, const fx::Credential& cred) {
  const std::string path = g_dir + "/" + name;
  std::unique_ptr<FILE, decltype(&std::fclose)> out(
      std::fopen(path.c_str(), "w"), std::fclose);
  if (!out || PEM_write_X509(out.get(), cred.cert.get()) != 1)
    throw std::runtime_error("cannot write " + path);
  std::printf("wrote %s\n", path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  g_dir = argv[1];
  try {
    const fx::Credential root = Root();
    const fx::Credential maker =
        Issued(root, fx::KeyType::kSm2,
               {"CN", "示例印章制作中心", "制作部", "印章制作"});
    const fx::Credential zhang =
        Person(root, fx::KeyType::kSm2, "张三", "法务部");
    const fx::Credential li = Person(root, fx::KeyType::kRsa, "李四", "财务部");
    const fx::Credential signingCa =
        Issued(root, fx::KeyType::kSm2,
               {"CN", "示例根证书机构", "", "Example SM2 Signing CA"}, true);
    const fx::Credential wang =
        Person(signingCa, fx::KeyType::kSm2, "王五", "采购部");
    const Bytes plainSeal = Seal(Family::kPlain, "示例科技有限公司公章",
                                 "1101080000001", maker, zhang);
    const Bytes ginSeal = Seal(Family::kGin, "示例科技有限公司合同专用章",
                               "1101080000002", maker, zhang);
    const Bytes govSeal = Seal(Family::kGov, "示例科技有限公司财务专用章",
                               "1101080000003", maker, li);
    WritePem("example-root.pem", root);

    fx::ofd::DocumentSpec page;
    page.title = "Sample contract";
    page.pageText = "The buyer pays 1000 yuan.";

    {
      fx::ofd::Package doc = fx::ofd::MakeDocument(page);
      fx::ofd::AddSignature(&doc, Sealing(Family::kPlain, zhang, plainSeal));
      Write("plain-sm2.ofd", doc);
    }
    {
      fx::ofd::Package doc = fx::ofd::MakeDocument(page);
      fx::ofd::Sealing s = Sealing(Family::kGin, zhang, ginSeal);
      fx::PropertySpec props;
      props.esignId = "EXAMPLE-0002";
      props.picture = HandwritingPicture();
      s.signature.propertyInfo = fx::PropertyXml(props);
      fx::ofd::AddSignature(&doc, s);
      Write("gin-sm2.ofd", doc);
    }
    {
      fx::ofd::Package doc = fx::ofd::MakeDocument(page);
      fx::ofd::AddSignature(&doc, Sealing(Family::kGov, li, govSeal));
      Write("gov-rsa.ofd", doc);
    }
    {
      fx::ofd::Package doc = fx::ofd::MakeDocument(page);
      fx::ofd::AddSignature(&doc, Sealing(Family::kGov, li, govSeal));
      fx::ofd::Sealing second = Sealing(Family::kPlain, zhang, plainSeal);
      second.signature.signTime = kSignTime + 3600;
      second.dateTime = "2024-06-18 11:30:00";
      fx::ofd::AddSignature(&doc, second);
      Write("two-signatures.ofd", doc);
    }
    {
      fx::ofd::Package doc = fx::ofd::MakeDocument(page);
      fx::ofd::AddSignature(&doc, Sealing(Family::kGov, li, govSeal));
      fx::ofd::DocumentSpec changed = page;
      changed.pageText = "The buyer pays 9000 yuan.";
      doc.Set("Doc_0/Pages/Page_0/Content.xml",
              *fx::ofd::MakeDocument(changed).Find(
                  "Doc_0/Pages/Page_0/Content.xml"));
      Write("page-changed.ofd", doc);
    }
    {
      fx::ofd::Package doc = fx::ofd::MakeDocument(page);
      fx::ofd::AddSignature(&doc, Sealing(Family::kPlain, zhang, plainSeal));
      // The signature value is the last field of the seal signature: change
      // its last byte.
      std::string* value = doc.Find("Doc_0/Signs/Sign_0/SignedValue.dat");
      value->back() = static_cast<char>(value->back() ^ 0x01);
      Write("signature-altered.ofd", doc);
    }
    {
      fx::ofd::Package doc = fx::ofd::MakeDocument(page);
      fx::ofd::Sealing s;
      s.type = "Sign";
      s.provider = "sealkit example generator";
      s.pkcs7.signer = wang;
      s.pkcs7.signingTime = kSignTime;
      // The signer's certificate, then the intermediate that issued it: the
      // root alone is the trust anchor.
      s.pkcs7.certificates =
          std::vector<Bytes>{wang.certDer, signingCa.certDer};
      fx::ofd::AddSignature(&doc, s);
      Write("pkcs7-sm2.ofd", doc);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "gen_ofd_examples: %s\n", e.what());
    return 1;
  }
  return 0;
}
