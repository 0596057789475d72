// Untrusted PKCS#7 signature values (OFD signatures of Type="Sign") through
// the sealofd verifier. The input is a 2-byte big-endian length, that many
// bytes of Signature.xml, then the SignedValue bytes, so that the fuzzer
// varies both. Nothing may crash, leak or read out of bounds; every answer
// carries a one-line reason; a value that verifies must not verify for other
// Signature.xml bytes.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "KXLog.h"
#include "ofd/pkcs7.h"

namespace {

bool OneLine(const std::string& text) {
  if (text.empty()) return false;
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7F) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    KXSetLogLevel(KX_LOG_FATAL);  // failures of the verifier are expected
    return true;
  }();
  (void)quiet;
  if (size > (1u << 20)) return 0;
  size_t xmlLen = size < 2 ? 0 : (size_t{data[0]} << 8 | data[1]);
  const size_t start = size < 2 ? size : 2;
  if (xmlLen > size - start) xmlLen = size - start;
  // Exact-size copies, so that a read past either end is caught.
  std::vector<uint8_t> xml(data + start, data + start + xmlLen);
  std::vector<uint8_t> value(data + start + xmlLen, data + size);

  const ofd::Pkcs7Result r = ofd::VerifyPkcs7Signature(
      value.data(), value.size(), xml.data(), xml.size());
  if (!OneLine(r.reason)) abort();
  if (r.code == 0) {
    if (r.signerCertificate.empty()) abort();
    xml.push_back('\n');
    const ofd::Pkcs7Result other = ofd::VerifyPkcs7Signature(
        value.data(), value.size(), xml.data(), xml.size());
    if (other.code == 0) abort();
  }
  return 0;
}
