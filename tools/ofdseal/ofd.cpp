#include "ofd.h"

#include "xml.h"

namespace ofdseal {

PartStatus ReadLocation(Package& package, const std::vector<std::string>& bases,
                        const std::string& loc, std::string* path,
                        std::string* bytes) {
  bytes->clear();
  std::string first;
  for (const std::string& base : bases) {
    std::string candidate;
    if (!ResolveLocation(base, loc, &candidate)) continue;
    if (first.empty()) first = candidate;
    if (package.Exists(candidate)) {
      *path = candidate;
      return package.Read(candidate, bytes);
    }
  }
  *path = first.empty() ? loc : first;
  return first.empty() ? PartStatus::kBadPath : PartStatus::kMissing;
}

namespace {

std::string Describe(PartStatus status, const std::string& what,
                     const std::string& path) {
  return what + " " + path + ": " + PartStatusText(status);
}

void ReadSignatureList(Package& package, DocumentEntry* doc) {
  std::string bytes;
  PartStatus status = package.Read(doc->signaturesPath, &bytes);
  if (status != PartStatus::kOk) {
    doc->problems.push_back(
        Describe(status, "signature list", doc->signaturesPath));
    return;
  }
  std::string error;
  XmlTree list = ParseXml(bytes, &error);
  if (!list) {
    doc->problems.push_back("signature list " + doc->signaturesPath +
                            ": not XML (" + error + ")");
    return;
  }
  mxml_node_t* root = RootElement(list.get());
  if (root == nullptr || LocalName(root) != "Signatures") {
    doc->problems.push_back("signature list " + doc->signaturesPath +
                            ": no Signatures element");
    return;
  }
  for (mxml_node_t* sig : ChildElements(root, "Signature")) {
    SignatureEntry entry;
    entry.id = Attribute(sig, "ID");
    entry.type = Attribute(sig, "Type", "Seal");
    entry.baseLoc = Attribute(sig, "BaseLoc");
    doc->signatures.push_back(entry);
  }
}

}  // namespace

bool ReadDocuments(Package& package, std::vector<DocumentEntry>* documents,
                   std::string* error) {
  std::string bytes;
  PartStatus status = package.Read("/OFD.xml", &bytes);
  if (status != PartStatus::kOk) {
    *error = !package.fatal().empty() ? package.fatal()
             : status == PartStatus::kMissing
                 ? "not an OFD package: no OFD.xml"
                 : std::string("OFD.xml: ") + PartStatusText(status);
    return false;
  }
  std::string parseError;
  XmlTree ofd = ParseXml(bytes, &parseError);
  if (!ofd) {
    *error = "OFD.xml is not XML (" + parseError + ")";
    return false;
  }
  std::vector<mxml_node_t*> bodies = FindElements(ofd.get(), "DocBody");
  if (bodies.empty()) {
    *error = "OFD.xml names no document (no DocBody)";
    return false;
  }
  for (mxml_node_t* body : bodies) {
    DocumentEntry doc;
    std::string root = ElementText(ChildElement(body, "DocRoot"));
    if (!root.empty() && !ResolveLocation("/", root, &doc.root))
      doc.problems.push_back("document root " + root + ": " +
                             PartStatusText(PartStatus::kBadPath));
    mxml_node_t* named = ChildElement(body, "Signatures");
    if (named != nullptr) {
      doc.signaturesNamed = true;
      std::string loc = ElementText(named);
      if (!ResolveLocation("/", loc, &doc.signaturesPath)) {
        doc.problems.push_back("signature list " + loc + ": " +
                               PartStatusText(PartStatus::kBadPath));
        doc.signaturesPath.clear();
      }
    } else if (!doc.root.empty()) {
      std::string conventional = DirectoryOf(doc.root);
      if (conventional != "/") conventional += "/";
      conventional += "Signs/Signatures.xml";
      if (package.Exists(conventional)) doc.signaturesPath = conventional;
    }
    if (!doc.signaturesPath.empty()) ReadSignatureList(package, &doc);
    documents->push_back(std::move(doc));
  }
  return true;
}

bool ParseSignatureFile(const std::string& bytes, SignatureFile* out,
                        std::string* error) {
  std::string parseError;
  XmlTree tree = ParseXml(bytes, &parseError);
  if (!tree) {
    *error = "not XML (" + parseError + ")";
    return false;
  }
  mxml_node_t* info = FindElement(tree.get(), "SignedInfo");
  if (info == nullptr) {
    *error = "no SignedInfo";
    return false;
  }
  out->provider = Attribute(ChildElement(info, "Provider"), "ProviderName");
  out->method = ElementText(ChildElement(info, "SignatureMethod"));
  out->dateTime = ElementText(ChildElement(info, "SignatureDateTime"));
  for (mxml_node_t* refs : ChildElements(info, "References")) {
    std::string method = Attribute(refs, "CheckMethod");
    for (mxml_node_t* ref : ChildElements(refs, "Reference")) {
      Reference r;
      r.fileRef = Attribute(ref, "FileRef");
      r.checkValue = ElementText(ChildElement(ref, "CheckValue"));
      r.checkMethod = method;
      out->references.push_back(r);
    }
  }
  out->sealLoc =
      ElementText(ChildElement(ChildElement(info, "Seal"), "BaseLoc"));
  mxml_node_t* value = FindElement(tree.get(), "SignedValue");
  if (value == nullptr || ElementText(value).empty()) {
    *error = "no SignedValue";
    return false;
  }
  out->signedValue = ElementText(value);
  return true;
}

LoadedSignature LoadSignature(Package& package, const DocumentEntry& doc,
                              const SignatureEntry& entry) {
  LoadedSignature sig;
  sig.entry = entry;
  sig.document = doc.root;
  if (entry.baseLoc.empty()) {
    sig.problems.push_back("signature without BaseLoc");
    return sig;
  }
  PartStatus status =
      ReadLocation(package, {DirectoryOf(doc.signaturesPath), "/"},
                   entry.baseLoc, &sig.location, &sig.xml);
  if (status != PartStatus::kOk) {
    sig.problems.push_back(Describe(status, "Signature.xml", sig.location));
    return sig;
  }
  std::string error;
  if (!ParseSignatureFile(sig.xml, &sig.file, &error)) {
    sig.problems.push_back("Signature.xml " + sig.location + ": " + error);
    return sig;
  }
  sig.parsed = true;
  status = ReadLocation(package, {DirectoryOf(sig.location), "/"},
                        sig.file.signedValue, &sig.signedValuePath,
                        &sig.signedValue);
  if (status != PartStatus::kOk) {
    sig.problems.push_back(
        Describe(status, "signature value", sig.signedValuePath));
    return sig;
  }
  sig.hasSignedValue = true;
  return sig;
}

}  // namespace ofdseal
