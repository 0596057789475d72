#include "ofd_kit.h"

#include <openssl/evp.h>
#include <zip.h>

#include <memory>
#include <stdexcept>

namespace fx {
namespace ofd {
namespace {

const char kNamespace[] = "http://www.ofdspec.org/2016";
const time_t kZipTime = 1718677800;  // 2024-06-18 02:30:00 UTC

// Replaces every "%P%" with the element prefix of the document.
std::string Prefixed(std::string xml, bool prefixed) {
  const std::string p = prefixed ? "ofd:" : "";
  for (size_t at = xml.find("%P%"); at != std::string::npos;
       at = xml.find("%P%", at + p.size()))
    xml.replace(at, 3, p);
  return xml;
}

std::string NamespaceAttr(bool prefixed) {
  return std::string(prefixed ? " xmlns:ofd=\"" : " xmlns=\"") + kNamespace +
         "\"";
}


const char kSignsDir[] = "Doc_0/Signs/";

void WriteSignatureList(Package* doc) {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<%P%Signatures" +
      NamespaceAttr(doc->prefixed) + ">\n  <%P%MaxSignId>" +
      std::to_string(doc->signatures.size()) + "</%P%MaxSignId>\n";
  for (const SignatureListEntry& e : doc->signatures)
    xml += "  <%P%Signature ID=\"" + XmlEscape(e.id) + "\" Type=\"" +
           XmlEscape(e.type) + "\" BaseLoc=\"" + XmlEscape(e.baseLoc) + "\"/>\n";
  xml += "</%P%Signatures>\n";
  doc->Set(std::string(kSignsDir) + "Signatures.xml",
           Prefixed(xml, doc->prefixed));
}

Bytes DigestWith(const EVP_MD* md, const std::string& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!EVP_Digest(data.data(), data.size(), out, &len, md, nullptr))
    throw std::runtime_error("ofd kit: EVP_Digest");
  return Bytes(out, out + len);
}

// The digest of a reference by its CheckMethod; SM3 unless it names SHA-256,
// SHA-1 or MD5.
Bytes CheckDigest(const std::string& method, const std::string& data) {
  if (method == "SHA-256" || method == "2.16.840.1.101.3.4.2.1")
    return DigestWith(EVP_sha256(), data);
  if (method == "SHA-1" || method == "1.3.14.3.2.26")
    return DigestWith(EVP_sha1(), data);
  if (method == "MD5" || method == "1.2.840.113549.2.5")
    return DigestWith(EVP_md5(), data);
  return DigestWith(EVP_sm3(), data);
}

bool IsPkcs7(const Sealing& s) { return s.type == "Sign"; }

KeyType SignerKey(const Sealing& s) {
  const std::optional<Credential>& signer =
      IsPkcs7(s) ? s.pkcs7.signer : s.signature.signer;
  return signer ? signer->keyType : KeyType::kSm2;
}

std::string MethodOf(const Sealing& s) {
  if (!s.method.empty()) return s.method;
  return SignatureAlgorithmOid(
      SignerKey(s), IsPkcs7(s) ? s.pkcs7.rsaHash : s.signature.rsaHash);
}

}  // namespace

std::string* Package::Find(const std::string& name) {
  for (auto& part : parts)
    if (part.first == name) return &part.second;
  return nullptr;
}

void Package::Set(const std::string& name, const std::string& bytes) {
  std::string* existing = Find(name);
  if (existing != nullptr) {
    *existing = bytes;
  } else {
    parts.emplace_back(name, bytes);
  }
}

bool Package::Remove(const std::string& name) {
  for (auto it = parts.begin(); it != parts.end(); ++it) {
    if (it->first == name) {
      parts.erase(it);
      return true;
    }
  }
  return false;
}

std::string ToString(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

Package MakeDocument(const DocumentSpec& params) {
  Package doc;
  doc.prefixed = params.prefixed;
  const std::string ns = NamespaceAttr(params.prefixed);
  std::string ofd =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<%P%OFD" +
      ns +
      " Version=\"1.0\" DocType=\"OFD\">\n"
      "  <%P%DocBody>\n"
      "    <%P%DocInfo>\n"
      "      <%P%DocID>6a1c3e52d0f84f1b9d2a7c5e8b4f0a13</%P%DocID>\n"
      "      <%P%Title>" +
      XmlEscape(params.title) +
      "</%P%Title>\n"
      "      <%P%CreationDate>2024-06-18</%P%CreationDate>\n"
      "    </%P%DocInfo>\n"
      "    <%P%DocRoot>Doc_0/Document.xml</%P%DocRoot>\n";
  if (params.nameSignatures)
    ofd += "    <%P%Signatures>Doc_0/Signs/Signatures.xml</%P%Signatures>\n";
  ofd += "  </%P%DocBody>\n</%P%OFD>\n";
  doc.Set("OFD.xml", Prefixed(ofd, params.prefixed));

  doc.Set(
      "Doc_0/Document.xml",
      Prefixed(
          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
          "<%P%Document" +
              ns +
              ">\n"
              "  <%P%CommonData>\n"
              "    <%P%MaxUnitID>5</%P%MaxUnitID>\n"
              "    <%P%PageArea>\n"
              "      <%P%PhysicalBox>0 0 210 297</%P%PhysicalBox>\n"
              "    </%P%PageArea>\n"
              "    <%P%PublicRes>PublicRes.xml</%P%PublicRes>\n"
              "  </%P%CommonData>\n"
              "  <%P%Pages>\n"
              "    <%P%Page ID=\"1\" BaseLoc=\"Pages/Page_0/Content.xml\"/>\n"
              "  </%P%Pages>\n"
              "</%P%Document>\n",
          params.prefixed));
  doc.Set("Doc_0/PublicRes.xml",
          Prefixed("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                   "<%P%Res" +
                       ns +
                       " BaseLoc=\"Res\">\n"
                       "  <%P%Fonts>\n"
                       "    <%P%Font ID=\"2\" FontName=\"SimSun\" "
                       "FamilyName=\"SimSun\"/>\n"
                       "  </%P%Fonts>\n"
                       "</%P%Res>\n",
                   params.prefixed));
  doc.Set(
      "Doc_0/Pages/Page_0/Content.xml",
      Prefixed("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<%P%Page" +
                   ns +
                   ">\n"
                   "  <%P%Content>\n"
                   "    <%P%Layer ID=\"3\">\n"
                   "      <%P%TextObject ID=\"4\" Boundary=\"20 30 170 10\" "
                   "Font=\"2\" Size=\"5\">\n"
                   "        <%P%TextCode X=\"0\" Y=\"5\">" +
                   XmlEscape(params.pageText) +
                   "</%P%TextCode>\n"
                   "      </%P%TextObject>\n"
                   "    </%P%Layer>\n"
                   "  </%P%Content>\n"
                   "</%P%Page>\n",
               params.prefixed));
  return doc;
}

Bytes SignedDigest(const Sealing& s, const std::string& signatureXml) {
  if (SignerKey(s) == KeyType::kSm2) return DigestWith(EVP_sm3(), signatureXml);
  const std::string method = MethodOf(s);
  const EVP_MD* md = EVP_sha256();
  if (method == "1.2.840.113549.1.1.5") md = EVP_sha1();
  if (method == "1.2.840.113549.1.1.12") md = EVP_sha384();
  if (method == "1.2.840.113549.1.1.13") md = EVP_sha512();
  return DigestWith(md, signatureXml);
}

int AddSignature(Package* doc, const Sealing& s) {
  const int n = static_cast<int>(doc->signatures.size());
  const std::string dir = std::string(kSignsDir) + "Sign_" + std::to_string(n);
  const std::string listName = std::string(kSignsDir) + "Signatures.xml";

  std::vector<std::string> refs;
  if (s.references) {
    refs = *s.references;
  } else {
    for (const auto& part : doc->parts)
      if (part.first != listName) refs.push_back("/" + part.first);
  }
  // The default seal names the signer as its owner, as a genuine seal does.
  Bytes sealDer;
  if (IsPkcs7(s)) {
    // A PKCS#7 signature involves no seal.
  } else if (s.signature.seal) {
    sealDer = *s.signature.seal;
  } else {
    SealSpec owned;
    owned.ownerCerts = std::vector<Bytes>{
        s.signature.cert ? *s.signature.cert
                         : (s.signature.signer ? *s.signature.signer
                                               : DefaultSigner())
                               .certDer};
    sealDer = MakeSeal(s.family, owned);
  }

  const bool prefixed = doc->prefixed;
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<%P%Signature" +
      NamespaceAttr(prefixed) +
      ">\n  <%P%SignedInfo>\n"
      "    <%P%Provider ProviderName=\"" +
      XmlEscape(s.provider) +
      "\" Version=\"1.0\"/>\n"
      "    <%P%SignatureMethod>" +
      XmlEscape(MethodOf(s)) +
      "</%P%SignatureMethod>\n"
      "    <%P%SignatureDateTime>" +
      XmlEscape(s.dateTime) +
      "</%P%SignatureDateTime>\n"
      "    <%P%References CheckMethod=\"" +
      XmlEscape(s.checkMethod) + "\">\n";
  for (const std::string& ref : refs) {
    std::string name = ref;
    for (char& c : name)
      if (c == '\\') c = '/';
    if (!name.empty() && name[0] == '/') name.erase(0, 1);
    const std::string* part = doc->Find(name);
    // A reference to a part that is not there gets the digest of nothing.
    Bytes digest = CheckDigest(s.checkMethod, part ? *part : std::string());
    xml += "      <%P%Reference FileRef=\"" + XmlEscape(ref) +
           "\">\n        <%P%CheckValue>" + Base64(digest) +
           "</%P%CheckValue>\n      </%P%Reference>\n";
  }
  const std::string abs = "/" + dir + "/";
  xml +=
      "    </%P%References>\n"
      "    <%P%StampAnnot ID=\"" +
      std::to_string(n + 1) + "\" PageRef=\"1\" Boundary=\"120 200 40 40\"/>\n";
  if (!IsPkcs7(s))
    xml += "    <%P%Seal>\n      <%P%BaseLoc>" +
           std::string(s.absoluteLocations ? abs : "") +
           "Seal.esl</%P%BaseLoc>\n    </%P%Seal>\n";
  xml +=
      "  </%P%SignedInfo>\n"
      "  <%P%SignedValue>" +
      (s.absoluteLocations ? abs : "") +
      "SignedValue.dat</%P%SignedValue>\n"
      "</%P%Signature>\n";
  xml = Prefixed(xml, prefixed);

  Bytes value;
  if (s.signedValue) {
    value = *s.signedValue;
  } else if (IsPkcs7(s)) {
    value = MakePkcs7(Bytes(xml.begin(), xml.end()), s.pkcs7);
  } else {
    SignatureSpec params = s.signature;
    params.seal = sealDer;
    params.dataHash = SignedDigest(s, xml);
    value = MakeSignature(s.family, params);
  }

  doc->Set(dir + "/Signature.xml", xml);
  doc->Set(dir + "/SignedValue.dat", ToString(value));
  if (!IsPkcs7(s)) doc->Set(dir + "/Seal.esl", ToString(sealDer));
  doc->signatures.push_back(
      {std::to_string(n + 1), s.type,
       s.absoluteLocations ? abs + "Signature.xml"
                           : "Sign_" + std::to_string(n) + "/Signature.xml"});
  WriteSignatureList(doc);
  return n;
}

void WriteZip(const std::vector<std::pair<std::string, std::string>>& parts,
              const std::string& path) {
  int error = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (archive == nullptr)
    throw std::runtime_error("ofd kit: cannot create " + path);
  for (const auto& part : parts) {
    // libzip reads the buffer at zip_close; the parts outlive it.
    zip_source_t* src =
        zip_source_buffer(archive, part.second.data(), part.second.size(), 0);
    zip_int64_t index =
        src == nullptr
            ? -1
            : zip_file_add(archive, part.first.c_str(), src, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
      if (src != nullptr) zip_source_free(src);
      zip_discard(archive);
      throw std::runtime_error("ofd kit: cannot add " + part.first);
    }
    zip_file_set_mtime(archive, static_cast<zip_uint64_t>(index), kZipTime, 0);
  }
  if (zip_close(archive) != 0) {
    zip_discard(archive);
    throw std::runtime_error("ofd kit: cannot write " + path);
  }
}

void WriteZip(const Package& doc, const std::string& path) {
  WriteZip(doc.parts, path);
}

}  // namespace ofd
}  // namespace fx
