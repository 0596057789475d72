// ofdseal: verifies and inspects electronic seals on OFD documents with the
// verification library, makes seals and signs documents with them.
//
//   ofdseal verify FILE.ofd [--json] [--trust FILE.pem]... [--no-default-trust]
//   ofdseal inspect FILE [--json] [--picture OUT]
//   ofdseal digest [--alg NAME] FILE
//   ofdseal device init|import|add-seal DIR ... / device list
//   ofdseal offline check FILE [--prune OUT [--force]] [--json]
//   ofdseal seal make --picture FILE --name NAME --id ID ... --out SEAL.esl
//   ofdseal sign FILE.ofd --seal SEAL.esl --out SIGNED.ofd ...
//
// Exit codes: 0 every signature valid, or valid (untrusted) when no trust
// anchor was given (or the command succeeded), 1 a signature or reference is
// invalid, 2 bad usage, unreadable input or a report that could not be
// written.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "algorithms.h"
#include "batch.h"
#include "cli.h"
#include "device.h"
#include "inspect.h"
#include "ofdseal.h"
#include "offline.h"
#include "seal_make.h"
#include "sign.h"
#include "text.h"
#include "verify.h"

namespace ofdseal {
namespace {

const char kVersion[] = "ofdseal 1.0.0";

const char kMainHelp[] =
    "Usage: ofdseal COMMAND [OPTIONS] FILE\n"
    "\n"
    "Verifies and inspects electronic seals on OFD documents, makes seals and\n"
    "signs documents with them.\n"
    "\n"
    "Commands:\n"
    "  verify FILE.ofd   check every signature of the document: the signed\n"
    "                    files against their check values, each seal\n"
    "                    signature through the verification library, and\n"
    "                    its certificates against the trust anchors\n"
    "  inspect FILE      print every property of a seal (Seal.esl), a seal\n"
    "                    signature (SignedValue.dat) or of each signature of "
    "an\n"
    "                    OFD document, and write the pictures\n"
    "  digest FILE       print the digest of a file that a caller passes to\n"
    "                    the verification library\n"
    "  device COMMAND    provision software key devices (libskfsoft.so) and\n"
    "                    list what the key devices of a driver hold\n"
    "  offline check FILE\n"
    "                    print the periods of a seal's offline authorization\n"
    "                    file and whether it grants one; --prune OUT writes\n"
    "                    the records valid now\n"
    "  seal make         make a seal from a picture, its name, identifier,\n"
    "                    type and validity period, its owners' certificates\n"
    "                    and its maker's key\n"
    "  sign FILE.ofd     put a seal signature on the document with a key in a\n"
    "                    PEM file or on a key device, and write the signed\n"
    "                    package to a new file\n"
    "\n"
    "Run 'ofdseal COMMAND --help' for the options of a command.\n"
    "\n"
    "Exit codes: 0 every signature valid, or valid (untrusted) when no trust\n"
    "anchor was given (or the command succeeded), 1 a signature or reference\n"
    "is invalid, 2 bad usage, unreadable input, or a report that could not\n"
    "be written. offline check: 0 a period is granted, 1 none is.\n";

const char kLimitsHelp[] =
    "\n"
    "Limits (a package that passes one is refused, exit code 2; BYTES take\n"
    "K, M and G suffixes):\n"
    "  --max-entries N    ZIP entries of the package (10000)\n"
    "  --max-size BYTES   bytes inflated from the package, each read counted,\n"
    "                     and the memory of the XML trees parsed from them\n"
    "                     (512M)\n"
    "  --max-documents N  documents (DocBody) of OFD.xml (16)\n"
    "  --max-signatures N signatures of one document's signature list (1000)\n"
    "  --max-references N references of one Signature.xml (10000)\n"
    "  --max-xml-size BYTES\n"
    "                     bytes of one XML file: OFD.xml, a signature list or\n"
    "                     a Signature.xml (4M)\n"
    "  --max-xml-depth N  element nesting of one XML file (64)\n";

const char kVerifyHelp[] =
    "Usage: ofdseal verify [--json] [--trust FILE.pem]... "
    "[--no-default-trust]\n"
    "                      [-r] [-j N] [--max-... LIMIT]... FILE.ofd|DIR...\n"
    "\n"
    "Checks every signature of every document in the OFD package. For each\n"
    "signature listed in the document's Signatures.xml it reads "
    "Signature.xml,\n"
    "compares every referenced file with its check value, computes the digest\n"
    "of Signature.xml (SM3 for SM2 signers, the digest of the signature "
    "method\n"
    "for RSA signers) and has the seal signature verified against it. It\n"
    "checks that the signer is an owner of the seal, that the signature was\n"
    "made within the seal's validity period and the signer certificate's, and\n"
    "that the certificates of the seal maker and of the signer chain to a\n"
    "trust anchor. Signatures of type Sign hold PKCS#7 signed data over\n"
    "Signature.xml: it is verified, and the signer certificate must be valid\n"
    "at the signing time it carries (now, when it carries none) and chain to\n"
    "a trust anchor, through the certificates it carries when needed.\n"
    "\n"
    "Verdicts: valid (every check passed, the certificates chain to a trust\n"
    "anchor); valid (untrusted) (every check passed, but no trust anchor was\n"
    "given: certificates not checked against trust anchors); invalid.\n"
    "\n"
    "Trust anchors are read from every *.pem and *.crt file (PEM) of\n"
    "/etc/ofdseal/trust.d and of $XDG_CONFIG_HOME/ofdseal/trust.d\n"
    "(~/.config/ofdseal/trust.d) and from each --trust file.\n"
    "\n"
    "Options:\n"
    "  --json             print the report as JSON\n"
    "  --trust FILE.pem   trust the certificates of FILE.pem (roots and\n"
    "                     intermediates); may be repeated\n"
    "  --no-default-trust do not read the trust folders\n"
    "  -r                 verify every *.ofd file below each folder DIR\n"
    "  -j N, --jobs N     verify N documents at a time (default: one per\n"
    "                     processor)\n"
    "  -h, --help         print this help\n"
    "%LIMITS%"
    "\n"
    "Several documents: one report each, in the order given (folders in name\n"
    "order), then a summary line; with --json one array of the reports, a\n"
    "document that could not be read given as {\"file\", \"verdict\": \"error\",\n"
    "\"error\"}. The exit code is the worst of the documents'.\n"
    "\n"
    "Exit codes: 0 every signature valid or valid (untrusted), 1 a signature\n"
    "or reference is invalid or the document has no signature, 2 bad usage or\n"
    "unreadable input (not an OFD package, a package refused as hostile or by\n"
    "a limit, or a --trust file without readable certificates), or a report\n"
    "that could not be written.\n";

const char kInspectHelp[] =
    "Usage: ofdseal inspect [--json] [--picture OUT] [--force]\n"
    "                       [--max-... LIMIT]... FILE\n"
    "\n"
    "Prints every property that the libraries read from FILE: a seal (DER, as\n"
    "in Seal.esl), a seal signature (as in SignedValue.dat) or an OFD "
    "document,\n"
    "then every signature in it.\n"
    "\n"
    "Options:\n"
    "  --json             print the properties as JSON\n"
    "  --picture OUT      write the seal picture to OUT.EXT and the "
    "handwriting\n"
    "                     picture, when there is one, to OUT-handwriting.EXT,\n"
    "                     EXT from the picture type; for an OFD document the\n"
    "                     signature's number follows OUT (OUT-1.png); a\n"
    "                     picture that an earlier signature carried too is\n"
    "                     not written again. Existing files are not replaced\n"
    "  --force            replace existing picture files (a symbolic link is\n"
    "                     replaced itself, never written through)\n"
    "  -h, --help         print this help\n"
    "%LIMITS%"
    "\n"
    "Exit codes: 0 success, 1 a signature of the document could not be read,\n"
    "2 bad usage, unreadable input (a package refused by a limit too), an\n"
    "existing picture file without --force, or a report that could not be\n"
    "written.\n";

const char kDigestHelp[] =
    "Usage: ofdseal digest [--alg NAME] FILE\n"
    "\n"
    "Prints in hex the digest of FILE as the verification library computes\n"
    "it, the value a caller passes to the verification API.\n"
    "\n"
    "Options:\n"
    "  --alg NAME         the digest (default sm3): %NAMES%,\n"
    "                     or an object identifier\n"
    "  -h, --help         print this help\n"
    "\n"
    "Exit codes: 0 success, 2 bad usage, unreadable input, or a report that\n"
    "could not be written.\n";

std::string Expand(std::string text) {
  const auto replace = [&](const std::string& key, const std::string& value) {
    size_t at = text.find(key);
    if (at != std::string::npos) text.replace(at, key.size(), value);
  };
  replace("%LIMITS%", kLimitsHelp);
  replace("%NAMES%", DigestNames());
  return text;
}

int Usage(const std::string& command, const std::string& message) {
  std::cerr << "ofdseal" << (command.empty() ? "" : " " + command) << ": "
            << message << " (see 'ofdseal " << command
            << (command.empty() ? "" : " ") << "--help')\n";
  return kExitUsage;
}

// "512M" -> 536870912. False for anything else than digits and one suffix.
bool ParseSize(const std::string& text, uint64_t* out) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])))
    return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0) return false;
  std::string suffix = end;
  int shift = 0;
  if (suffix == "K" || suffix == "k")
    shift = 10;
  else if (suffix == "M" || suffix == "m")
    shift = 20;
  else if (suffix == "G" || suffix == "g")
    shift = 30;
  else if (!suffix.empty())
    return false;
  if (value > (~0ull >> shift)) return false;
  *out = value << shift;
  return true;
}

// The options that set a limit, and what they set.
struct LimitOption {
  const char* name;
  uint64_t Limits::*value;
  int setting;  // of ofdseal_options_set
};
const LimitOption kLimitOptions[] = {
    {"--max-entries", &Limits::maxEntries, OFDSEAL_OPT_MAX_ENTRIES},
    {"--max-size", &Limits::maxInflated, OFDSEAL_OPT_MAX_SIZE},
    {"--max-documents", &Limits::maxDocuments, OFDSEAL_OPT_MAX_DOCUMENTS},
    {"--max-signatures", &Limits::maxSignatures, OFDSEAL_OPT_MAX_SIGNATURES},
    {"--max-references", &Limits::maxReferences, OFDSEAL_OPT_MAX_REFERENCES},
    {"--max-xml-size", &Limits::maxXmlSize, OFDSEAL_OPT_MAX_XML_SIZE},
    {"--max-xml-depth", &Limits::maxXmlDepth, OFDSEAL_OPT_MAX_XML_DEPTH},
};

// The options of the package commands: `others` and every limit.
std::vector<std::string> WithLimits(std::vector<std::string> others) {
  for (const LimitOption& option : kLimitOptions) others.push_back(option.name);
  return others;
}

// The arguments of one command: its flags, options with a value and the
// one FILE operand.
struct Args {
  bool help = false;
  bool json = false;
  bool force = false;
  std::string picture;
  std::string alg;
  Limits limits;
  std::vector<std::string> trust;  // --trust files, in order
  bool noDefaultTrust = false;
  std::string file;
  // verify: every operand, the folder walk and the threads.
  bool manyFiles = false;
  std::vector<std::string> operands;
  bool recursive = false;
  unsigned jobs = 0;
};

// `valued` lists the options that take a value; `flags` those that do not.
// Returns kExitOk, or the exit code of a usage error.
int ParseArgs(const std::string& command, const std::vector<std::string>& argv,
              const std::vector<std::string>& flags,
              const std::vector<std::string>& valued, Args* args) {
  std::vector<std::string> operands;
  bool optionsDone = false;
  for (size_t i = 0; i < argv.size(); ++i) {
    std::string arg = argv[i];
    if (optionsDone || arg.size() < 2 || arg[0] != '-') {
      operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsDone = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      args->help = true;
      continue;
    }
    std::string name = arg;
    std::string value;
    bool hasValue = false;
    size_t eq = arg.find('=');
    if (eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      hasValue = true;
    }
    const auto listed = [&](const std::vector<std::string>& list) {
      for (const std::string& n : list)
        if (n == name) return true;
      return false;
    };
    // "-j4" is "-j 4".
    if (name.size() > 2 && name.compare(0, 2, "-j") == 0 && !hasValue &&
        name.find_first_not_of("0123456789", 2) == std::string::npos) {
      value = name.substr(2);
      name = "-j";
      hasValue = true;
    }
    if (listed(flags) && !hasValue) {
      if (name == "--json") args->json = true;
      if (name == "-r") args->recursive = true;
      if (name == "--no-default-trust") args->noDefaultTrust = true;
      if (name == "--force") args->force = true;
      continue;
    }
    if (!listed(valued)) return Usage(command, "unknown option '" + arg + "'");
    if (!hasValue) {
      if (i + 1 >= argv.size())
        return Usage(command, "option '" + name + "' needs a value");
      value = argv[++i];
    }
    if (name == "--picture") {
      if (value.empty()) return Usage(command, "--picture needs a file name");
      args->picture = value;
    } else if (name == "--alg") {
      args->alg = value;
    } else if (name == "-j" || name == "--jobs") {
      if (value.empty() || value.size() > 4 ||
          value.find_first_not_of("0123456789") != std::string::npos ||
          std::stoul(value) == 0)
        return Usage(command, "bad value '" + value + "' for -j");
      args->jobs = static_cast<unsigned>(std::stoul(value));
    } else if (name == "--trust") {
      if (value.empty()) return Usage(command, "--trust needs a file name");
      args->trust.push_back(value);
    } else {
      for (const LimitOption& option : kLimitOptions) {
        if (name != option.name) continue;
        uint64_t n = 0;
        if (!ParseSize(value, &n) || n == 0)
          return Usage(command, "bad value '" + value + "' for " + name);
        args->limits.*option.value = n;
      }
    }
  }
  if (args->help) return kExitOk;
  if (operands.empty()) return Usage(command, "missing FILE");
  args->operands = operands;
  if (operands.size() > 1 && !args->manyFiles)
    return Usage(command, "one FILE only, got '" + operands[1] + "' too");
  args->file = operands[0];
  return kExitOk;
}

int Verify(const std::vector<std::string>& argv) {
  Args args;
  args.manyFiles = true;
  int rc = ParseArgs("verify", argv, {"--json", "--no-default-trust", "-r"},
                     WithLimits({"--trust", "-j", "--jobs"}), &args);
  if (rc != kExitOk) return rc;
  if (args.help) {
    std::cout << Expand(kVerifyHelp);
    return kExitOk;
  }
  // The trust anchors and limits go to libofdseal, which verifies each file.
  const std::unique_ptr<ofdseal_options, decltype(&ofdseal_options_free)>
      verify(ofdseal_options_new(), ofdseal_options_free);
  if (!verify) throw std::bad_alloc();
  ofdseal_options_set(verify.get(), OFDSEAL_OPT_DEFAULT_TRUST,
                      args.noDefaultTrust ? 0 : 1);
  for (const LimitOption& option : kLimitOptions)
    ofdseal_options_set(verify.get(), option.setting,
                        args.limits.*option.value);
  for (const std::string& file : args.trust) {
    char* error = nullptr;
    const int rc =
        ofdseal_options_add_trust(verify.get(), file.c_str(), &error);
    const std::unique_ptr<char, decltype(&ofdseal_free)> owned(error,
                                                               ofdseal_free);
    if (rc == OFDSEAL_NO_MEMORY) throw std::bad_alloc();
    if (rc != OFDSEAL_OK)
      return InputError(args.file, "--trust " + std::string(error ? error : ""),
                        args.json);
  }
  // A broken file in a trust folder is reported and skipped: the other
  // anchors still count.
  char* skipped = nullptr;
  if (ofdseal_options_load_trust(verify.get(), &skipped) != OFDSEAL_OK)
    throw std::bad_alloc();
  if (skipped != nullptr) {
    std::string lines = skipped;
    ofdseal_free(skipped);
    for (size_t at = 0, end; (end = lines.find('\n', at)) != std::string::npos;
         at = end + 1)
      std::cerr << "ofdseal: ignored " << EscapeText(lines.substr(at, end - at))
                << "\n";
  }
  BatchOptions options;
  options.json = args.json;
  options.recursive = args.recursive;
  options.jobs = args.jobs;
  return VerifyFiles(args.operands, verify.get(), options);
}

int InspectCommand(const std::vector<std::string>& argv) {
  Args args;
  int rc = ParseArgs("inspect", argv, {"--json", "--force"},
                     WithLimits({"--picture"}), &args);
  if (rc != kExitOk) return rc;
  if (args.help) {
    std::cout << Expand(kInspectHelp);
    return kExitOk;
  }
  InspectOptions options;
  options.json = args.json;
  options.picture = args.picture;
  options.force = args.force;
  options.limits = args.limits;
  return Inspect(args.file, options);
}

int DigestCommand(const std::vector<std::string>& argv) {
  Args args;
  args.alg = "sm3";
  int rc = ParseArgs("digest", argv, {}, {"--alg"}, &args);
  if (rc != kExitOk) return rc;
  if (args.help) {
    std::cout << Expand(kDigestHelp);
    return kExitOk;
  }
  Digest digest;
  if (!DigestByName(args.alg, &digest))
    return Usage("digest", "unknown algorithm '" + args.alg + "'");
  std::string bytes;
  std::string error;
  // The library takes a 32-bit length.
  if (!ReadWholeFile(args.file, 0xFFFFFFFFull, &bytes, &error))
    return InputError(args.file, error, false);
  std::string value;
  unsigned int code = 0;
  if (!ComputeDigest(digest, bytes, &value, &code))
    return InputError(
        args.file,
        "the library computed no digest (" + std::to_string(code) + ")", false);
  std::cout << Hex(value) << "\n";
  return kExitOk;
}

int Main(int argc, char** argv) {
  if (argc < 2) return Usage("", "missing COMMAND");
  const std::string command = argv[1];
  std::vector<std::string> rest(argv + 2, argv + argc);
  if (command == "-h" || command == "--help" || command == "help") {
    std::cout << kMainHelp;
    return kExitOk;
  }
  if (command == "--version") {
    std::cout << kVersion << "\n";
    return kExitOk;
  }
  if (command == "verify") return Verify(rest);
  if (command == "inspect") return InspectCommand(rest);
  if (command == "digest") return DigestCommand(rest);
  if (command == "device") return DeviceCommand(rest);
  if (command == "offline") return OfflineCommand(rest);
  if (command == "seal") return SealCommand(rest);
  if (command == "sign") return SignCommand(rest);
  return Usage("", "unknown command '" + command + "'");
}

}  // namespace
}  // namespace ofdseal

int main(int argc, char** argv) {
  int rc = ofdseal::kExitUsage;
  try {
    rc = ofdseal::Main(argc, argv);
  } catch (const std::bad_alloc&) {
    std::cerr << "ofdseal: out of memory\n";
  } catch (const std::exception& e) {
    std::cerr << "ofdseal: " << e.what() << "\n";
  }
  // A report that did not reach standard output (a full disk, a closed
  // pipe) is a failure, whatever it said. Exit code 2 has its line on
  // standard error already.
  // The reason is known only when the last flush is what failed.
  const bool failedBefore = !std::cout || std::ferror(stdout);
  errno = 0;
  std::cout.flush();
  const bool failed =
      std::fflush(stdout) != 0 || !std::cout || std::ferror(stdout);
  const int error = failedBefore ? 0 : errno;
  if (!failedBefore && !failed) return rc;
  if (rc != ofdseal::kExitUsage)
    std::cerr << "ofdseal: cannot write the report to standard output"
              << (error != 0 ? std::string(": ") + std::strerror(error)
                             : std::string())
              << "\n";
  return ofdseal::kExitUsage;
}
