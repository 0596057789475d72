// Sealed OFD documents for the tests and the bundled examples, made the way a
// signing application makes them: a one-page document, then for each seal a
// Signature.xml listing the digest of every part it covers, and a seal
// signature over the digest of Signature.xml's exact bytes (SM3 for an SM2
// signer, the digest of the signature method for an RSA signer), computed
// with OpenSSL. A signature of type "Sign" holds PKCS#7 signed data over the
// bytes of Signature.xml instead (the PKCS#7 kit), and no seal.
//
//   fx::ofd::Package doc = fx::ofd::MakeDocument();
//   fx::ofd::Sealing seal;
//   seal.family = fx::Family::kGov;
//   fx::ofd::AddSignature(&doc, seal);
//   doc.Set("Doc_0/Pages/Page_0/Content.xml", "...");   // change after sealing
//   fx::ofd::WriteZip(doc, "/tmp/x.ofd");
//
// Part names are archive entry names (no leading slash); nothing is
// checked, so tests can write hostile names too.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fixtures.h"
#include "pkcs7_kit.h"

namespace fx {
namespace ofd {

struct SignatureListEntry {
  std::string id;
  std::string type;
  std::string baseLoc;
};

struct Package {
  std::vector<std::pair<std::string, std::string>> parts;  // in ZIP order
  std::vector<SignatureListEntry> signatures;  // of Doc_0/Signs/Signatures.xml
  bool prefixed = true;                        // elements written as "ofd:Name"

  std::string* Find(const std::string& name);
  void Set(const std::string& name, const std::string& bytes);
  bool Remove(const std::string& name);
};

struct DocumentSpec {
  std::string title = "Sample contract";
  std::string pageText = "The buyer pays 1000 yuan.";
  bool prefixed = true;        // "ofd:" before element names
  bool nameSignatures = true;  // DocBody/Signatures in OFD.xml
};

Package MakeDocument(const DocumentSpec& params = DocumentSpec());

struct Sealing {
  Family family = Family::kGov;
  // The seal signature; its dataHash is set here. Without a seal, a seal of
  // the family whose owner is the signer.
  SignatureSpec signature;
  std::string type = "Seal";  // "Sign": PKCS#7 rather than a seal signature
  // Type "Sign": the SignedData made over Signature.xml (family and
  // signature are not used then).
  Pkcs7Spec pkcs7;
  std::string method;  // SignatureMethod; default from the signer
  std::string checkMethod = "1.2.156.10197.1.401";
  // FileRef values; default: every part present except the signature list.
  std::optional<std::vector<std::string>> references;
  std::string provider = "sealkit fixtures";
  std::string dateTime = "2024-06-18 10:30:00";
  bool absoluteLocations = true;  // BaseLoc and SignedValue from the root
  // Replaces the bytes of SignedValue.dat after signing.
  std::optional<Bytes> signedValue;
};

// Seals the document: Doc_0/Signs/Sign_N/{Signature.xml, SignedValue.dat,
// Seal.esl} (no Seal.esl for type "Sign") and the signature list with one
// more entry. Returns N.
int AddSignature(Package* doc, const Sealing& sealing);

// The digest that the seal signature signs for this signer and method.
Bytes SignedDigest(const Sealing& sealing, const std::string& signatureXml);

// Writes the parts as a ZIP archive (deflated, fixed times) with libzip.
// Throws std::runtime_error on failure.
void WriteZip(const Package& doc, const std::string& path);
// The same for raw entries, in the order given.
void WriteZip(const std::vector<std::pair<std::string, std::string>>& parts,
              const std::string& path);

std::string ToString(const Bytes& bytes);

}  // namespace ofd
}  // namespace fx
