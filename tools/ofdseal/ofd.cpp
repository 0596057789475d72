#include "ofd.h"

#include "xml.h"

namespace ofdseal {

PartStatus ResolvePart(const Package& package,
                       const std::vector<std::string>& bases,
                       const std::string& loc, std::string* path) {
  std::string first;
  for (const std::string& base : bases) {
    std::string candidate;
    if (!ResolveLocation(base, loc, &candidate)) continue;
    if (first.empty()) first = candidate;
    if (package.Exists(candidate)) {
      *path = candidate;
      return PartStatus::kOk;
    }
  }
  *path = first.empty() ? loc : first;
  return first.empty() ? PartStatus::kBadPath : PartStatus::kMissing;
}

PartStatus ReadLocation(Package& package, const std::vector<std::string>& bases,
                        const std::string& loc, std::string* path,
                        std::string* bytes) {
  bytes->clear();
  PartStatus status = ResolvePart(package, bases, loc, path);
  return status == PartStatus::kOk ? package.Read(*path, bytes) : status;
}

namespace {

std::string Describe(PartStatus status, const std::string& what,
                     const std::string& path) {
  return what + " " + path + ": " + PartStatusText(status);
}

// "limit exceeded: WHAT, more than the limit of LIMIT (OPTION)".
void RefuseOverLimit(Package& package, const std::string& what, uint64_t limit,
                     const char* option) {
  package.Refuse("limit exceeded: " + what + ", more than the limit of " +
                 std::to_string(limit) + " (" + option + ")");
}

// The bytes of an XML part; one larger than the XML size limit refuses the
// package.
PartStatus ReadXmlBytes(Package& package, const std::string& path,
                        std::string* bytes) {
  const uint64_t limit = package.limits().maxXmlSize;
  PartStatus status = package.Read(path, bytes, limit);
  if (status == PartStatus::kTooLarge && package.fatal().empty())
    RefuseOverLimit(package, path + " holds more XML bytes", limit,
                    "--max-xml-size");
  return status;
}

// Parses the XML part at `path` within the limits: its nesting, and the
// memory of its tree, which is charged to the package's budget like the
// inflated bytes. Null with `problem` set when it is not XML; the package is
// refused when a limit is passed or memory runs out.
XmlTree ParsePart(Package& package, const std::string& path,
                  const std::string& bytes, std::string* problem) {
  XmlLimits limits;
  limits.maxDepth = package.limits().maxXmlDepth;
  // 0 would leave the bound out; an exhausted budget admits no node.
  limits.maxMemory = package.remaining() > 0 ? package.remaining() : 1;
  XmlFailure failure = XmlFailure::kNone;
  uint64_t memory = 0;
  std::string error;
  XmlTree tree = ParseXml(bytes, limits, &failure, &memory, &error);
  switch (failure) {
    case XmlFailure::kNone:
      if (package.Charge(memory, path)) return tree;
      break;
    case XmlFailure::kNotXml:
      *problem = "not XML (" + error + ")";
      return nullptr;
    case XmlFailure::kTooDeep:
      RefuseOverLimit(package, path + " nests elements deeper", limits.maxDepth,
                      "--max-xml-depth");
      break;
    case XmlFailure::kTooLarge:
      package.Charge(memory, path);  // more than is left: refuses
      break;
    case XmlFailure::kNoMemory:
      package.Refuse("out of memory while parsing " + path);
      break;
  }
  *problem = error.empty() ? "refused" : error;
  return nullptr;
}

// The parsed XML part at `path`; null with `problem` set when it is
// missing, unreadable or not XML, or the package was refused.
XmlTree ReadXml(Package& package, const std::string& path,
                std::string* problem) {
  std::string bytes;
  PartStatus status = ReadXmlBytes(package, path, &bytes);
  if (status != PartStatus::kOk) {
    *problem = PartStatusText(status);
    return nullptr;
  }
  return ParsePart(package, path, bytes, problem);
}

void ReadSignatureList(Package& package, DocumentEntry* doc) {
  std::string problem;
  XmlTree list = ReadXml(package, doc->signaturesPath, &problem);
  if (!list) {
    doc->problems.push_back("signature list " + doc->signaturesPath + ": " +
                            problem);
    return;
  }
  mxml_node_t* root = RootElement(list.get());
  if (root == nullptr || LocalName(root) != "Signatures") {
    doc->problems.push_back("signature list " + doc->signaturesPath +
                            ": no Signatures element");
    return;
  }
  std::vector<mxml_node_t*> signatures = ChildElements(root, "Signature");
  if (signatures.size() > package.limits().maxSignatures) {
    RefuseOverLimit(package,
                    doc->signaturesPath + " lists " +
                        std::to_string(signatures.size()) + " signatures",
                    package.limits().maxSignatures, "--max-signatures");
    return;
  }
  for (mxml_node_t* sig : signatures) {
    SignatureEntry entry;
    entry.id = Attribute(sig, "ID");
    entry.type = Attribute(sig, "Type", "Seal");
    entry.baseLoc = Attribute(sig, "BaseLoc");
    doc->signatures.push_back(entry);
  }
}

// Reads Signature.xml at `sig->location` (found with `status`) and the
// signature value it names. With `values`, a value that an earlier
// signature named already is not read again.
void LoadParts(Package& package, PartStatus status, LoadedSignature* sig,
               std::map<std::string, size_t>* values, size_t number) {
  if (status == PartStatus::kOk)
    status = ReadXmlBytes(package, sig->location, &sig->xml);
  if (status != PartStatus::kOk) {
    sig->problems.push_back(Describe(status, "Signature.xml", sig->location));
    return;
  }
  std::string error;
  if (!ParseSignatureFile(package, sig->location, sig->xml, &sig->file,
                          &error)) {
    sig->problems.push_back("Signature.xml " + sig->location + ": " + error);
    return;
  }
  sig->parsed = true;
  status = ResolvePart(package, {DirectoryOf(sig->location), "/"},
                       sig->file.signedValue, &sig->signedValuePath);
  if (status == PartStatus::kOk && values != nullptr) {
    auto named = values->emplace(sig->signedValuePath, number);
    if (!named.second) {
      sig->problems.push_back("signature value " + sig->signedValuePath +
                              ": the value of signature " +
                              std::to_string(named.first->second) + " too");
      return;
    }
  }
  if (status == PartStatus::kOk)
    status = package.Read(sig->signedValuePath, &sig->signedValue);
  if (status != PartStatus::kOk) {
    sig->problems.push_back(
        Describe(status, "signature value", sig->signedValuePath));
    return;
  }
  sig->hasSignedValue = true;
}

}  // namespace

bool ReadDocuments(Package& package, std::vector<DocumentEntry>* documents,
                   std::string* error) {
  std::string problem;
  XmlTree ofd = ReadXml(package, "/OFD.xml", &problem);
  if (!ofd) {
    *error = !package.fatal().empty()      ? package.fatal()
             : !package.Exists("/OFD.xml") ? "not an OFD package: no OFD.xml"
             : problem.rfind("not XML", 0) == 0 ? "OFD.xml is " + problem
                                                : "OFD.xml: " + problem;
    return false;
  }
  std::vector<mxml_node_t*> bodies = FindElements(ofd.get(), "DocBody");
  if (bodies.empty()) {
    *error = "OFD.xml names no document (no DocBody)";
    return false;
  }
  if (bodies.size() > package.limits().maxDocuments) {
    RefuseOverLimit(
        package,
        "OFD.xml lists " + std::to_string(bodies.size()) + " documents",
        package.limits().maxDocuments, "--max-documents");
    *error = package.fatal();
    return false;
  }
  std::map<std::string, size_t> lists;  // signature list -> its document
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
    if (!doc.signaturesPath.empty()) {
      auto read = lists.find(doc.signaturesPath);
      if (read != lists.end()) {
        // Its problems were reported with the document that read it.
        doc.signatures = (*documents)[read->second].signatures;
      } else {
        ReadSignatureList(package, &doc);
        lists.emplace(doc.signaturesPath, documents->size());
      }
    }
    documents->push_back(std::move(doc));
    if (!package.fatal().empty()) break;
  }
  if (!package.fatal().empty()) {
    *error = package.fatal();
    return false;
  }
  return true;
}

bool ParseSignatureFile(Package& package, const std::string& path,
                        const std::string& bytes, SignatureFile* out,
                        std::string* error) {
  XmlTree tree = ParsePart(package, path, bytes, error);
  if (!tree) return false;
  mxml_node_t* info = FindElement(tree.get(), "SignedInfo");
  if (info == nullptr) {
    *error = "no SignedInfo";
    return false;
  }
  out->provider = Attribute(ChildElement(info, "Provider"), "ProviderName");
  out->method = ElementText(ChildElement(info, "SignatureMethod"));
  out->dateTime = ElementText(ChildElement(info, "SignatureDateTime"));
  const uint64_t maxReferences = package.limits().maxReferences;
  for (mxml_node_t* refs : ChildElements(info, "References")) {
    std::string method = Attribute(refs, "CheckMethod");
    for (mxml_node_t* ref : ChildElements(refs, "Reference")) {
      if (out->references.size() >= maxReferences) {
        RefuseOverLimit(package, path + " holds more references", maxReferences,
                        "--max-references");
        *error = "too many references";
        return false;
      }
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
      ResolvePart(package, {DirectoryOf(doc.signaturesPath), "/"},
                  entry.baseLoc, &sig.location);
  LoadParts(package, status, &sig, nullptr, 0);
  return sig;
}

SignatureWalk::SignatureWalk(Package& package,
                             const std::vector<DocumentEntry>& documents)
    : package_(package), documents_(documents) {
  for (const DocumentEntry& doc : documents) total_ += doc.signatures.size();
}

bool SignatureWalk::Next(SignatureVisit* visit) {
  while (document_ < documents_.size() &&
         entry_ >= documents_[document_].signatures.size()) {
    ++document_;
    entry_ = 0;
  }
  if (document_ >= documents_.size() || !package_.fatal().empty()) return false;
  const DocumentEntry& doc = documents_[document_];
  const SignatureEntry& entry = doc.signatures[entry_++];
  *visit = SignatureVisit();
  visit->number = ++number_;
  LoadedSignature& sig = visit->sig;
  sig.entry = entry;
  sig.document = doc.root;
  if (entry.baseLoc.empty()) {
    sig.problems.push_back("signature without BaseLoc");
    return true;
  }
  PartStatus status =
      ResolvePart(package_, {DirectoryOf(doc.signaturesPath), "/"},
                  entry.baseLoc, &sig.location);
  if (status == PartStatus::kOk) {
    auto first = loaded_.emplace(std::make_pair(sig.location, entry.type),
                                 visit->number);
    if (!first.second) {
      visit->sameAs = first.first->second;
      return true;
    }
  }
  LoadParts(package_, status, &sig, &values_, visit->number);
  return true;
}

}  // namespace ofdseal
