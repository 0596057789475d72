// SHA-0, for signatures that still name it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kx {

// out = SHA-0(data[0..len)).
void Sha0Digest(const unsigned char* data, size_t len, unsigned char out[20]);

}  // namespace kx
