// The SM3 compression function (GB/T 32905) inside libKXCommon.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kx {
namespace sm3 {

// Compresses `blocks` 64-byte blocks of data into state, with the fastest
// form this processor runs (chosen at the first call).
void CompressBlocks(uint32_t state[8], const unsigned char* data,
                    size_t blocks);

// Compresses one block given as its 16 words (loaded big-endian); w is
// overwritten by the message expansion.
void CompressWords(uint32_t state[8], uint32_t w[16]);

// The two forms behind CompressBlocks, for the tests: the portable one, and
// the one with the message expansion in vector registers, which only runs
// where VectorAvailable() (x86-64 with AVX2 and BMI2).
void CompressBlocksPortable(uint32_t state[8], const unsigned char* data,
                            size_t blocks);
void CompressBlocksVector(uint32_t state[8], const unsigned char* data,
                          size_t blocks);
bool VectorAvailable();

}  // namespace sm3
}  // namespace kx
