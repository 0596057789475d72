// SHA-0, for signatures that still name it: in one call, or as a running
// digest (Init, Update..., Final) that holds one block, never the data.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kx {

struct Sha0Ctx {
  uint32_t h[5];
  uint64_t length;          // bytes taken in so far
  unsigned char block[64];  // the partial block waiting for more data
  size_t used;              // bytes in `block`
};

void Sha0Init(Sha0Ctx* ctx);
void Sha0Update(Sha0Ctx* ctx, const unsigned char* data, size_t len);
// out = SHA-0 of everything taken in. The context is spent; copy it first
// to go on with more data.
void Sha0Final(Sha0Ctx* ctx, unsigned char out[20]);

// out = SHA-0(data[0..len)).
void Sha0Digest(const unsigned char* data, size_t len, unsigned char out[20]);

}  // namespace kx
