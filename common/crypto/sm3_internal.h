// One-shot SM3 for code inside libKXCommon.
#pragma once

#include <cstddef>

namespace kx {

// out = SM3(data[0..len)).
void Sm3Digest(const unsigned char* data, size_t len, unsigned char out[32]);

}  // namespace kx
