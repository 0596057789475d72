// Untrusted seals and seal signatures through the property readers, with any
// property number. The first input byte chooses the number, the second the
// reader; the rest is the DER input. Checks the output buffer protocol: the
// size query and the fetch agree, a buffer one byte short gets 5003 with the
// same length and is left untouched, nothing is written past the buffer, and
// a failure leaves the buffer and the length as they were.
#include <mxml.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "KXLog.h"
#include "SealProperty.h"
#include "SealVerify.h"
#include "tolerant.h"

namespace {

void Silent(const char*) {}

// Every refused input writes error lines; at fuzzing speed they would fill
// the shared log (and its rotated copies) and the terminal. Only fatal lines
// are kept, and the XML parser's messages are dropped.
[[maybe_unused]] const bool kQuiet = [] {
  KXSetLogLevel(KX_LOG_FATAL);
  mxmlSetErrorCallback(Silent);
  return true;
}();

void Check(bool condition) {
  if (!condition) abort();
}

using Reader = unsigned int (*)(unsigned int, const unsigned char*,
                                unsigned int, unsigned char*, unsigned int*);

const uint8_t kFill = 0xA7;
const unsigned int kUnset = 0xFFFFFFFFu;

// Calls `read` with a buffer of `size` bytes followed by guard bytes; returns
// the code, the stored length and the buffer.
unsigned int Call(Reader read, unsigned int flag, const uint8_t* data,
                  unsigned int len, unsigned int size, unsigned int* outLen,
                  std::vector<uint8_t>* out) {
  const unsigned int kGuard = 16;
  std::vector<uint8_t> buffer(size + kGuard, kFill);
  *outLen = size;
  unsigned int rc = read(flag, data, len, buffer.data(), outLen);
  for (unsigned int i = size; i < size + kGuard; ++i) Check(buffer[i] == kFill);
  buffer.resize(size);
  *out = std::move(buffer);
  return rc;
}

bool Untouched(const std::vector<uint8_t>& buffer) {
  for (uint8_t b : buffer)
    if (b != kFill) return false;
  return true;
}

// The value through the whole protocol; empty `value` and code 0 also for
// an absent content (nothing written at all).
unsigned int Exercise(Reader read, unsigned int flag, const uint8_t* data,
                      unsigned int len, std::vector<uint8_t>* value) {
  value->clear();
  unsigned int need = kUnset;
  unsigned int rc = read(flag, data, len, nullptr, &need);
  std::vector<uint8_t> buffer;
  unsigned int got = 0;
  if (rc != 0) {
    Check(need == kUnset);
    // The same failure with a buffer, which stays untouched.
    Check(Call(read, flag, data, len, 64, &got, &buffer) == rc);
    Check(got == 64 && Untouched(buffer));
    return rc;
  }
  if (need == kUnset) {
    // Absent content: nothing is written, with a buffer either.
    Check(Call(read, flag, data, len, 8, &got, &buffer) == 0);
    Check(got == 8 && Untouched(buffer));
    return 0;
  }
  Check(need <= (1u << 27));
  Check(Call(read, flag, data, len, need, &got, &buffer) == 0);
  Check(got == need);
  *value = buffer;
  if (need > 0) {
    Check(Call(read, flag, data, len, need - 1, &got, &buffer) == 5003);
    Check(got == need && Untouched(buffer));
  }
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > (1 << 16)) return 0;
  // Numbers 0..63 cover every property of both readers; the high bit adds a
  // few far outside.
  unsigned int flag = data[0] & 0x3F;
  if (data[0] & 0x80) flag = 0xFFFFFF00u | data[0];
  const uint8_t mode = data[1];
  const uint8_t* input = data + 2;
  const unsigned int len = static_cast<unsigned int>(size - 2);

  std::vector<uint8_t> seal, viaApi, signature;
  unsigned int sealRc = Exercise(SE_GetESealProperty, flag, input, len, &seal);
  if (mode & 1) {
    // The verification library's seal reader forwards the seal, with the
    // encoders' slips rewritten where it has any.
    std::vector<uint8_t> normalized;
    if (sv::tolerant::NormalizeSeal(input, len, &normalized))
      sealRc = Exercise(SE_GetESealProperty, flag, normalized.data(),
                        static_cast<unsigned int>(normalized.size()), &seal);
    Check(Exercise(SEF_AnalyzeESealData, flag, input, len, &viaApi) == sealRc);
    Check(viaApi == seal);
  }
  if (mode & 2)
    Exercise(SEF_ESealSignDataGetProperty, flag, input, len, &signature);
  return 0;
}
