// Constant-time check of SM2 signing. The private key d and the per-signature
// k are marked undefined for valgrind's memcheck; memcheck then reports every
// conditional branch and every memory address computed from them
// ("Conditional jump or move depends on uninitialised value(s)", "Use of
// uninitialised value of size 8"). Only the public results (r, s, the point
// d*G and the accept masks) are marked defined again before they are read.
// Run by ctest under valgrind; without valgrind the requests do nothing and
// the program only checks its results against the published example.
#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#else
#define VALGRIND_MAKE_MEM_UNDEFINED(address, length) ((void)(address))
#define VALGRIND_MAKE_MEM_DEFINED(address, length) ((void)(address))
#endif

#include <cstdio>
#include <cstring>
#include <string>

#include "crypto/sm2_p256.h"

namespace {

void FromHex(const char* hex, unsigned char out[32]) {
  for (int i = 0; i < 32; ++i)
    out[i] = static_cast<unsigned char>(
        std::stoi(std::string(hex + 2 * i, 2), nullptr, 16));
}

std::string ToHex(const unsigned char* bytes, size_t length) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

// d, k and e of GB/T 32918.5 Annex A, then keys and nonces with long runs of
// equal bits and values next to n, where digit recoding and carries differ.
struct Case {
  const char* d;
  const char* k;
  const char* e;
  const char* r;  // expected, or null
  const char* s;
};
const Case kCases[] = {
    {"3945208F7B2144B13F36E38AC6D39F95889393692860B51A42FB81EF4DF7C5B8",
     "59276E27D506861A16680F3AD9C02DCCEF3CC1FA3CDBE4CE6D54B80DEAC1BC21",
     "F0B43E94BA45ACCAACE692ED534382EB17E6AB5A19CE7B31F4486FDFC0D28640",
     "F5A03B0648D2C4630EEAC513E1BB81A15944DA3827D5B74143AC7EACEEE720B3",
     "B1B6AA29DF212FD8763182BC0D421CA1BB9038FD1F7F42D4840B69C485BBC1AA"},
    {"0000000000000000000000000000000000000000000000000000000000000001",
     "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54122",
     "0000000000000000000000000000000000000000000000000000000000000000",
     nullptr, nullptr},
    {"FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54121",
     "0000000000000000000000000000000000000000000000000000000000000001",
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF",
     nullptr, nullptr},
    {"00000000FFFFFFFF00000000FFFFFFFF00000000FFFFFFFF00000000FFFFFFFF",
     "0FFFFFFF00000000FFFFFFFF00000000FFFFFFFF00000000FFFFFFFF00000000",
     "5555555555555555555555555555555555555555555555555555555555555555",
     nullptr, nullptr},
    {"8000000000000000000000000000000000000000000000000000000000000000",
     "7FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF",
     "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA",
     nullptr, nullptr},
};

}  // namespace

int main() {
  namespace p256 = kx::sm2p256;
  // The first multiplication builds the tables of G from public values.
  unsigned char one[32] = {}, point[64];
  one[31] = 1;
  p256::BaseMul(one, point);

  int failures = 0;
  for (const Case& c : kCases) {
    unsigned char d[32], k[32], e[32], r[32], s[32], pub[64];
    FromHex(c.d, d);
    FromHex(c.k, k);
    FromHex(c.e, e);
    VALGRIND_MAKE_MEM_UNDEFINED(d, sizeof d);
    VALGRIND_MAKE_MEM_UNDEFINED(k, sizeof k);

    // The public point d*G, as SM2_Sign computes it without a given point.
    const bool havePoint = p256::BaseMul(d, pub);
    p256::SigningKey key;
    uint64_t usable = p256::PrepareSigningKey(d, &key);
    uint64_t accepted = p256::SignDigest(key, e, k, r, s);

    bool finite = havePoint;
    VALGRIND_MAKE_MEM_DEFINED(&finite, sizeof finite);
    VALGRIND_MAKE_MEM_DEFINED(pub, sizeof pub);
    VALGRIND_MAKE_MEM_DEFINED(&usable, sizeof usable);
    VALGRIND_MAKE_MEM_DEFINED(&accepted, sizeof accepted);
    VALGRIND_MAKE_MEM_DEFINED(r, sizeof r);
    VALGRIND_MAKE_MEM_DEFINED(s, sizeof s);
    if (!finite || usable == 0 || accepted == 0 ||
        p256::VerifyDigest(e, r, s, pub) != 1 ||
        (c.r != nullptr && (ToHex(r, 32) != c.r || ToHex(s, 32) != c.s))) {
      std::printf("signature with d = %s failed\n", c.d);
      ++failures;
    }
  }
  std::printf("%d of %zu signatures checked\n",
              static_cast<int>(sizeof kCases / sizeof kCases[0]) - failures,
              sizeof kCases / sizeof kCases[0]);
  return failures == 0 ? 0 : 1;
}
