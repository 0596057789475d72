// Writing a signed OFD package: a copy of the original ZIP archive in which
// a few entries get new bytes (the signature list, OFD.xml) and new entries
// (a signature's files) are appended. Every other entry is copied as it is
// stored, in its place, so the signatures that already cover it stay valid.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace ofd {

// The changes a copy makes to its original.
struct PackageEdits {
  // Archive index of an entry -> its new bytes; the entry keeps its name and
  // its place.
  std::map<uint64_t, std::string> replaced;
  // Entries appended after the last one, in this order: name, bytes. A
  // name the archive holds already is refused.
  std::vector<std::pair<std::string, std::string>> added;
};

// Writes the ZIP archive whose bytes are `original`, with `edits` applied,
// to `path`. Unchanged entries keep their stored (compressed) bytes; new
// and replaced ones are deflated. The archive is written to a new file in
// the folder of `path`, synced, and then renamed to `path`, so `path` is
// never seen half written. An existing `path` is refused unless `replace`;
// a symbolic link at `path` is replaced itself, never written through.
// Nothing is left behind on failure. Returns false with a one-line reason.
bool WritePackage(const std::string& original, const PackageEdits& edits,
                  const std::string& path, bool replace, std::string* error);

}  // namespace ofd
