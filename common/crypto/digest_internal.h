// The digests that NIDs select, with their DER DigestInfo prefixes.
#pragma once

#include <cstddef>

namespace kx {

struct DigestEntry {
  int nid;
  size_t size;                  // digest bytes
  const unsigned char* prefix;  // DigestInfo up to the digest bytes
  size_t prefixLength;
};

// The entry for `nid`, or null for an unknown NID.
const DigestEntry* FindDigest(int nid);
// out (entry.size bytes) = digest of data. False when libcrypto fails.
bool ComputeDigest(const DigestEntry& entry, const void* data, size_t length,
                   unsigned char* out);

// NIDs of the table.
enum : int {
  kNidMd5 = 4,
  kNidSha0 = 41,
  kNidSha1 = 64,
  kNidSha256 = 672,
  kNidSha384 = 673,
  kNidSha512 = 674,
  kNidSha224 = 675,
  kNidSm3 = 920,
};

}  // namespace kx
