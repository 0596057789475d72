// The verify command: every signature of every document of a package, its
// references, and its seal signature through SEF_OfdESealSign_Verify.
#pragma once

#include <string>
#include <vector>

#include "package.h"
#include "text.h"

namespace ofdseal {

struct ReferenceReport {
  std::string fileRef;  // as written
  std::string path;     // resolved package path
  std::string checkMethod;
  std::string status;  // "ok", "changed", "missing", ...
};

struct SignatureReport {
  std::string id;
  std::string type;
  std::string document;
  std::string location;
  std::string provider;
  std::string method;       // SignatureMethod as written
  std::string algorithm;    // "SM2 with SM3"
  std::string digest;       // digest of Signature.xml passed to the library
  std::string signingTime;  // from the seal signature
  std::string dateTime;     // SignatureDateTime of Signature.xml
  std::string family;
  std::string sealName;
  std::string sealId;
  std::string signer;
  std::string signerUnit;
  std::vector<ReferenceReport> references;
  bool verified = false;  // the library was asked
  unsigned int code = 0;  // its answer
  std::vector<std::string> problems;
  std::string verdict;  // "valid", "invalid", "not supported yet"
};

struct VerifyReport {
  std::string file;
  size_t documents = 0;
  std::vector<std::string> problems;
  std::vector<SignatureReport> signatures;
  std::string verdict;  // "valid", "invalid", "unsigned"
};

// Verifies the opened package. False with a one-line reason when it is not
// an OFD document or was refused while being read.
bool VerifyPackage(Package& package, VerifyReport* report, std::string* error);

std::string VerifyText(const VerifyReport& report);
Json VerifyJson(const VerifyReport& report);

}  // namespace ofdseal
