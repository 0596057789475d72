// Read-only access to an OFD package (a ZIP archive) that does not trust the
// archive: the number of entries and the work of reading are bounded, no
// name leaves the package, and every part is read into memory only after its
// declared size has been checked against what is left of the budget.
#pragma once

#include <zip.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace ofdseal {

// What a package may make the tool do. Each count bounds work that an
// archive of a few kilobytes could otherwise multiply: many entries naming
// one part, or deflated runs of repeated XML.
struct Limits {
  uint64_t maxEntries = 10000;
  // Bytes inflated, over every read, plus the memory of every XML tree
  // parsed from them.
  uint64_t maxInflated = 512ull << 20;
  uint64_t maxDocuments = 16;        // DocBody elements of OFD.xml
  uint64_t maxSignatures = 1000;     // Signature entries of one signature list
  uint64_t maxReferences = 10000;    // Reference elements of one Signature.xml
  uint64_t maxXmlSize = 4ull << 20;  // bytes of one XML part that is parsed
  uint64_t maxXmlDepth = 64;         // element nesting of one XML part
};

// A digest that takes its input in pieces.
class DigestSink {
 public:
  virtual ~DigestSink() = default;
  virtual void Update(const unsigned char* data, size_t length) = 0;
  // False when the digest could not be computed.
  virtual bool Final(std::string* digest) = 0;
};

enum class PartStatus {
  kOk,
  kMissing,     // no entry of that name
  kBadPath,     // the location leaves the package or is not a package path
  kTooLarge,    // reading it would pass the inflation budget or a limit
  kUnreadable,  // the entry does not inflate to its declared size and CRC
};

const char* PartStatusText(PartStatus status);

// Resolves the OFD location `loc` against the package directory `baseDir`
// ("/" or "/Doc_0/Signs"): absolute locations start at the package root,
// relative ones at baseDir; backslashes count as slashes, "." and ".." are
// folded. Fails when the result would leave the package, when `loc` names a
// drive or a URL scheme, or holds a NUL byte. The result starts with "/".
bool ResolveLocation(const std::string& baseDir, const std::string& loc,
                     std::string* path);
// "/Doc_0/Signs" for "/Doc_0/Signs/Signatures.xml"; "/" for "/OFD.xml".
std::string DirectoryOf(const std::string& path);

class Package {
 public:
  Package() = default;
  Package(const Package&) = delete;
  Package& operator=(const Package&) = delete;

  // Opens the archive and indexes its entries. Returns false with a one-line
  // reason when the file is not a readable ZIP archive or is hostile: too
  // many entries, an entry name that leaves the package, two entries of one
  // name. Local headers are not compared with the central directory (many
  // writers leave their CRC and sizes zero); each entry's CRC is checked
  // when it is read.
  bool Open(const std::string& file, const Limits& limits, std::string* error);
  // The same for the archive held in `bytes`, which must outlive the
  // package; `file` names it in messages.
  bool OpenBytes(const std::string& bytes, const std::string& file,
                 const Limits& limits, std::string* error);

  // Reads the part at the package path `path` (as made by ResolveLocation).
  // A name that differs only in letter case is accepted when it is the only
  // one. Every inflation is charged to the budget: a part read again is
  // charged again unless its bytes are still in the cache, which keeps
  // small parts within a bound. A part larger than `maxSize` is kTooLarge
  // without being read. Nothing is read once the package is refused.
  PartStatus Read(const std::string& path, std::string* bytes,
                  uint64_t maxSize = UINT64_MAX);
  bool Exists(const std::string& path) const;
  // The archive index of the entry at exactly `path`; false when none.
  bool EntryIndex(const std::string& path, uint64_t* index) const;
  // The package paths of the entries (folders left out), in archive order.
  std::vector<std::string> Paths() const;

  // The digest of the part by `algorithm` (the caller's number for it),
  // computed the first time and answered from memory later, so a part named
  // by many references is inflated and digested once. `open` gives a sink
  // that takes the part piece by piece as it inflates, so memory does not
  // grow with the part; where it gives none, the part is read whole and
  // `compute` runs on its bytes. A failed digest leaves `digest` empty.
  using DigestFunction =
      std::function<bool(const std::string& bytes, std::string* digest)>;
  using SinkFactory = std::function<std::unique_ptr<DigestSink>()>;
  PartStatus Digest(const std::string& path, unsigned int algorithm,
                    const SinkFactory& open, const DigestFunction& compute,
                    std::string* digest);

  // Charges `bytes` of work on `what` to the budget; false, with the
  // package refused, when the budget does not cover it.
  bool Charge(uint64_t bytes, const std::string& what);
  // What is left of the budget.
  uint64_t remaining() const { return limits_.maxInflated - inflated_; }
  // Refuses the package for `reason`, unless it is refused already.
  void Refuse(const std::string& reason);

  const Limits& limits() const { return limits_; }
  // Set once the package is refused (a limit passed, memory exhausted).
  const std::string& fatal() const { return fatal_; }

 private:
  struct ZipCloser {
    void operator()(zip_t* archive) const { zip_discard(archive); }
  };
  bool Find(const std::string& path, uint64_t* index) const;
  // Indexes the entries of the opened archive.
  bool Index(const std::string& file, std::string* error);
  // Inflates the entry into `sink` in fixed-size pieces, charging the
  // budget and checking the size and CRC.
  PartStatus Stream(uint64_t index, const std::string& path, DigestSink* sink);

  std::unique_ptr<zip_t, ZipCloser> archive_;
  Limits limits_;
  std::map<std::string, uint64_t> byName_;       // "/a/b" -> entry index
  std::vector<std::string> paths_;               // in archive order
  std::map<std::string, uint64_t> byLowerName_;  // lower-case, unique only
  std::set<std::string> ambiguousLower_;
  uint64_t inflated_ = 0;
  std::map<uint64_t, std::string> cache_;  // entry index -> bytes
  uint64_t cached_ = 0;                    // bytes in cache_
  std::map<std::pair<uint64_t, unsigned int>, std::string> digests_;
  std::string fatal_;
};

}  // namespace ofdseal
