// The signature structure of an OFD package: OFD.xml names each document
// (DocBody/DocRoot) and its signature list (DocBody/Signatures, or the
// conventional Signs/Signatures.xml beside the document root); the list names
// each signature's Signature.xml (BaseLoc), which holds the signed
// references and the location of the signature value.
#pragma once

#include <string>
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
// readable OFD.xml, no DocBody); broken signature lists are recorded as
// problems of their document instead.
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

// Parses Signature.xml; false with a reason when it is not XML or has no
// SignedInfo or SignedValue.
bool ParseSignatureFile(const std::string& bytes, SignatureFile* out,
                        std::string* error);

// Reads the part at `loc`. OFD producers write relative locations from the
// folder of the part that names them or from the package root, so each base
// folder in `bases` is tried in turn and the first that holds the part wins.
// When none does, the status is that of the first location that resolves.
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

}  // namespace ofdseal
