// Read-only access to an OFD package (a ZIP archive) that does not trust the
// archive: the number of entries and the total inflated size are bounded, no
// name leaves the package, and every part is read into memory only after its
// declared size has been checked against what is left of the budget.
#pragma once

#include <zip.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

namespace ofdseal {

struct Limits {
  uint64_t maxEntries = 10000;
  uint64_t maxInflated = 512ull << 20;  // bytes, over every part read
};

enum class PartStatus {
  kOk,
  kMissing,     // no entry of that name
  kBadPath,     // the location leaves the package or is not a package path
  kTooLarge,    // reading it would pass the inflation budget
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
  // name.
  bool Open(const std::string& file, const Limits& limits, std::string* error);

  // Reads the part at the package path `path` (as made by ResolveLocation).
  // A name that differs only in letter case is accepted when it is the only
  // one. Each entry's inflated size is charged to the budget once.
  PartStatus Read(const std::string& path, std::string* bytes);
  bool Exists(const std::string& path) const;

  // Set once a read passed the inflation budget: the package is refused.
  const std::string& fatal() const { return fatal_; }

 private:
  struct ZipCloser {
    void operator()(zip_t* archive) const { zip_discard(archive); }
  };
  bool Find(const std::string& path, uint64_t* index) const;

  std::unique_ptr<zip_t, ZipCloser> archive_;
  Limits limits_;
  std::map<std::string, uint64_t> byName_;       // "/a/b" -> entry index
  std::map<std::string, uint64_t> byLowerName_;  // lower-case, unique only
  std::set<std::string> ambiguousLower_;
  std::set<uint64_t> charged_;
  uint64_t inflated_ = 0;
  std::string fatal_;
};

}  // namespace ofdseal
