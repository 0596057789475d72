// The signature structure of an OFD package: OFD.xml names each document
// (DocBody/DocRoot) and its signature list (DocBody/Signatures, or the
// conventional Signs/Signatures.xml beside the document root); the list names
// each signature's Signature.xml (BaseLoc), which holds the signed
// references and the location of the signature value.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "package.h"

namespace ofdseal {

// One Signature element of a signature list.
struct SignatureEntry {
  std::string id;
  std::string type;     // "Seal" (the default) or "Sign"
  std::string baseLoc;  // as written
};

// One document of the package and its signatures.
struct DocumentEntry {
  std::string root;              // package path of Document.xml
  std::string signaturesPath;    // package path of the signature list, or empty
  bool signaturesNamed = false;  // named by OFD.xml rather than by convention
  std::vector<SignatureEntry> signatures;
  std::vector<std::string> problems;  // parts that are missing or broken
};

// Reads OFD.xml and each document's signature list. Returns false with a
// one-line reason when the package is not an OFD document at all (no
// readable OFD.xml, no DocBody) or is refused (more documents, signatures,
// XML bytes or nesting than its limits allow); broken signature lists are
// recorded as problems of their document instead. A signature list named
// by several documents is read once.
bool ReadDocuments(Package& package, std::vector<DocumentEntry>* documents,
                   std::string* error);

struct Reference {
  std::string fileRef;      // as written
  std::string checkValue;   // Base64 text as written
  std::string checkMethod;  // CheckMethod of the References element
};

// The parts of a Signature.xml that are checked and reported.
struct SignatureFile {
  std::string provider;
  std::string method;    // SignatureMethod
  std::string dateTime;  // SignatureDateTime
  std::vector<Reference> references;
  std::string signedValue;  // SignedValue location as written
  std::string sealLoc;      // SignedInfo/Seal/BaseLoc, when present
};

// Parses Signature.xml (the bytes of the part at `path`) within the
// package's limits; false with a reason when it is not XML or has no
// SignedInfo or SignedValue. More references than the limit refuse the
// package.
bool ParseSignatureFile(Package& package, const std::string& path,
                        const std::string& bytes, SignatureFile* out,
                        std::string* error);

// Finds the part at `loc`. OFD producers write relative locations from the
// folder of the part that names them or from the package root, so each base
// folder in `bases` is tried in turn and the first that holds the part wins.
// When none does, the status is that of the first location that resolves.
PartStatus ResolvePart(const Package& package,
                       const std::vector<std::string>& bases,
                       const std::string& loc, std::string* path);
// ResolvePart, then the part's bytes.
PartStatus ReadLocation(Package& package, const std::vector<std::string>& bases,
                        const std::string& loc, std::string* path,
                        std::string* bytes);

// One signature of a document, with the parts it names read in.
struct LoadedSignature {
  SignatureEntry entry;
  std::string document;  // package path of the document root
  std::string location;  // package path of Signature.xml
  std::string xml;       // its bytes
  bool parsed = false;   // `file` holds what Signature.xml says
  SignatureFile file;
  std::string signedValuePath;
  bool hasSignedValue = false;
  std::string signedValue;            // bytes of the signature value
  std::vector<std::string> problems;  // missing or broken parts
};

// Reads Signature.xml of `entry` and the signature value it names.
LoadedSignature LoadSignature(Package& package, const DocumentEntry& doc,
                              const SignatureEntry& entry);

// One signature entry as SignatureWalk hands it out.
struct SignatureVisit {
  size_t number = 0;  // 1, 2, ... over the entries of every document
  // The number of an earlier entry of the same type that names the same
  // Signature.xml, or 0. Such an entry is not loaded again: only
  // sig.entry, sig.document and sig.location are set.
  size_t sameAs = 0;
  LoadedSignature sig;
};

// Walks the signature entries of every document in order, so that each
// distinct Signature.xml is read, parsed and checked once however many
// entries name it, and only one signature at a time is held in memory. A
// signature value that an earlier Signature.xml named already is not read
// again: the later signature gets a problem instead (each signature signs
// its own Signature.xml, so one value cannot serve two).
class SignatureWalk {
 public:
  SignatureWalk(Package& package, const std::vector<DocumentEntry>& documents);
  SignatureWalk(const SignatureWalk&) = delete;
  SignatureWalk& operator=(const SignatureWalk&) = delete;

  // The next entry; false after the last one or once the package is
  // refused.
  bool Next(SignatureVisit* visit);
  // The number of entries of every document.
  size_t total() const { return total_; }

 private:
  Package& package_;
  const std::vector<DocumentEntry>& documents_;
  size_t total_ = 0;
  size_t document_ = 0;  // position of the next entry
  size_t entry_ = 0;
  size_t number_ = 0;
  // (Signature.xml, type) -> number of the entry that loaded it
  std::map<std::pair<std::string, std::string>, size_t> loaded_;
  std::map<std::string, size_t> values_;  // signature value -> number
};

}  // namespace ofdseal
