// The digest exports: one call and three calls, against OpenSSL's digests.
#include <gtest/gtest.h>
#include <malloc.h>
#include <openssl/evp.h>

#include <memory>
#include <string>
#include <vector>

#include "SealVerify.h"
#include "test_process.h"

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's allocator statistics (its runtime has no header for them).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

using Bytes = std::vector<unsigned char>;

const unsigned char* U(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

Bytes Evp(const char* name, const std::string& data) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int len = 0;
  EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
  EXPECT_NE(md, nullptr) << name;
  EVP_Digest(data.data(), data.size(), out.data(), &len, md, nullptr);
  EVP_MD_free(md);
  out.resize(len);
  return out;
}

Bytes OneCall(unsigned int alg, const std::string& data) {
  unsigned int len = 0;
  const auto n = static_cast<unsigned int>(data.size());
  EXPECT_EQ(SEF_DigestDatabyAlg(alg, U(data), n, nullptr, &len), 0u);
  Bytes out(len);
  EXPECT_EQ(SEF_DigestDatabyAlg(alg, U(data), n, out.data(), &len), 0u);
  out.resize(len);
  return out;
}

struct AlgRow {
  unsigned int alg;
  const char* openssl;  // null: OpenSSL has no such digest
  unsigned int length;
};
const AlgRow kAlgs[] = {
    {4, "MD5", 16},      {64, "SHA1", 20},    {672, "SHA256", 32},
    {673, "SHA384", 48}, {674, "SHA512", 64}, {675, "SHA224", 28},
    {920, "SM3", 32},    {41, nullptr, 20},
};

TEST(DigestOneCall, EveryAlgorithmMatchesAnIndependentDigest) {
  const std::string data = "The quick brown fox jumps over the lazy dog";
  for (const AlgRow& row : kAlgs) {
    Bytes ours = OneCall(row.alg, data);
    EXPECT_EQ(ours.size(), row.length) << row.alg;
    if (row.openssl != nullptr) {
      EXPECT_EQ(ours, Evp(row.openssl, data)) << row.alg;
    }
  }
}

TEST(DigestOneCall, Sm3OfAbcIsTheStandardsFirstExample) {
  // GB/T 32905, example 1.
  const Bytes expected = {0x66, 0xc7, 0xf0, 0xf4, 0x62, 0xee, 0xed, 0xd9,
                          0xd1, 0xf2, 0xd4, 0x6b, 0xdc, 0x10, 0xe4, 0xe2,
                          0x41, 0x67, 0xc4, 0x87, 0x5c, 0xf2, 0xf7, 0xa2,
                          0x29, 0x7d, 0xa0, 0x2b, 0x8f, 0x4b, 0xa8, 0xe0};
  EXPECT_EQ(OneCall(920, "abc"), expected);
}

TEST(DigestOneCall, BufferProtocolAndErrors) {
  const std::string abc = "abc";
  unsigned int len = 0;
  EXPECT_EQ(SEF_DigestDatabyAlg(672, U(abc), 3, nullptr, &len), 0u);
  EXPECT_EQ(len, 32u);
  unsigned char small[31];
  len = sizeof small;
  EXPECT_EQ(SEF_DigestDatabyAlg(672, U(abc), 3, small, &len), 5003u);
  EXPECT_EQ(len, 32u);
  for (unsigned int bad : {0u, 1u, 1000u}) {
    len = 77;
    EXPECT_EQ(SEF_DigestDatabyAlg(bad, U(abc), 3, nullptr, &len), 5016u);
    EXPECT_EQ(len, 77u) << "length untouched on failure";
  }
  EXPECT_EQ(SEF_DigestDatabyAlg(672, nullptr, 3, nullptr, &len), 5016u);
  EXPECT_EQ(SEF_DigestDatabyAlg(672, U(abc), 3, nullptr, nullptr), 5002u);
  // A length query over an empty input must not read a byte that is not
  // there (the sanitizer build checks this with a one-byte heap buffer).
  std::unique_ptr<unsigned char[]> one(new unsigned char[1]);
  EXPECT_EQ(SEF_DigestDatabyAlg(920, one.get() + 1, 0, nullptr, &len), 0u);
  EXPECT_EQ(len, 32u);
}

Bytes ThreeCalls(unsigned int alg, const std::vector<std::string>& pieces) {
  void* handle = nullptr;
  EXPECT_EQ(SEF_DigestDataInitbyAlg(alg, &handle), 0u);
  EXPECT_EQ(handle, reinterpret_cast<void*>(1));
  for (const std::string& p : pieces)
    EXPECT_EQ(SEF_DigestDataUpdate(handle, U(p),
                                   static_cast<unsigned int>(p.size())),
              0u);
  unsigned int len = 0;
  EXPECT_EQ(SEF_DigestDataFinal(handle, nullptr, &len), 0u);
  Bytes out(len);
  EXPECT_EQ(SEF_DigestDataFinal(handle, out.data(), &len), 0u);
  out.resize(len);
  return out;
}

TEST(DigestThreeCalls, DigestsTheConcatenationOfEveryUpdate) {
  const std::vector<std::string> pieces = {"ab", "", "c",
                                           std::string(1000, 'x')};
  std::string whole;
  for (const auto& p : pieces) whole += p;
  for (const AlgRow& row : kAlgs)
    EXPECT_EQ(ThreeCalls(row.alg, pieces), OneCall(row.alg, whole)) << row.alg;
}

// Bytes the allocator has handed out and not yet taken back.
long long HeapInUse() {
#if defined(__SANITIZE_ADDRESS__)
  return static_cast<long long>(__sanitizer_get_current_allocated_bytes());
#else
  const struct mallinfo2 info = mallinfo2();
  return static_cast<long long>(info.uordblks + info.hblkhd);
#endif
}

// Every algorithm digests the data as it comes: 8 MiB of Updates leave the
// heap as it was.
TEST(DigestThreeCalls, UpdatesKeepNoData) {
  const std::string piece(1 << 20, 'z');
  for (const AlgRow& row : kAlgs) {
    void* h = nullptr;
    ASSERT_EQ(SEF_DigestDataInitbyAlg(row.alg, &h), 0u);
    const long long before = HeapInUse();
    for (int i = 0; i < 8; ++i)
      ASSERT_EQ(SEF_DigestDataUpdate(h, U(piece),
                                     static_cast<unsigned int>(piece.size())),
                0u);
    EXPECT_LT(HeapInUse() - before, 64 * 1024) << row.alg;
  }
}

TEST(DigestThreeCalls, EmptyInputGivesTheDigestOfNothing) {
  for (const AlgRow& row : kAlgs)
    EXPECT_EQ(ThreeCalls(row.alg, {""}), OneCall(row.alg, "")) << row.alg;
}

TEST(DigestThreeCalls, FinalCanRepeatAndMoreDataMayFollow) {
  void* h = nullptr;
  ASSERT_EQ(SEF_DigestDataInitbyAlg(920, &h), 0u);
  ASSERT_EQ(SEF_DigestDataUpdate(h, U("ab"), 2), 0u);
  Bytes first(32), again(32);
  unsigned int len = 32;
  ASSERT_EQ(SEF_DigestDataFinal(h, first.data(), &len), 0u);
  ASSERT_EQ(SEF_DigestDataFinal(h, again.data(), &len), 0u);
  EXPECT_EQ(first, again);
  EXPECT_EQ(first, OneCall(920, "ab"));
  ASSERT_EQ(SEF_DigestDataUpdate(h, U("c"), 1), 0u);
  ASSERT_EQ(SEF_DigestDataFinal(h, again.data(), &len), 0u);
  EXPECT_EQ(again, OneCall(920, "abc"));
}

TEST(DigestThreeCalls, FailuresNeverHandOutADigest) {
  KX_IN_FRESH_PROCESS();  // the holder as it is right after load
  void* h = nullptr;
  unsigned int len = 64;
  unsigned char out[64];
  // Final right after load, and after Init without Update.
  EXPECT_EQ(SEF_DigestDataFinal(h, out, &len), 5016u);
  ASSERT_EQ(SEF_DigestDataInitbyAlg(672, &h), 0u);
  EXPECT_EQ(SEF_DigestDataFinal(h, out, &len), 5016u);
  // A sequence leaves a digest behind; a later Update with an unknown
  // algorithm fails, and so does the Final after it.
  ASSERT_EQ(SEF_DigestDataUpdate(h, U("x"), 1), 0u);
  ASSERT_EQ(SEF_DigestDataFinal(h, out, &len), 0u);
  ASSERT_EQ(SEF_DigestDataInitbyAlg(1000, &h), 0u);
  EXPECT_EQ(SEF_DigestDataUpdate(h, U("x"), 1), 5016u);
  EXPECT_EQ(SEF_DigestDataFinal(h, out, &len), 5016u);
  // A failed Update spoils the sequence until the next Init.
  ASSERT_EQ(SEF_DigestDataInitbyAlg(672, &h), 0u);
  EXPECT_EQ(SEF_DigestDataUpdate(h, nullptr, 1), 5016u);
  EXPECT_EQ(SEF_DigestDataUpdate(h, U("x"), 1), 5016u);
  EXPECT_EQ(SEF_DigestDataFinal(h, out, &len), 5016u);
  EXPECT_EQ(SEF_DigestDataInitbyAlg(672, nullptr), 5002u);
  EXPECT_EQ(SEF_DigestDataFinal(h, out, nullptr), 5002u);
}

TEST(DigestThreeCalls, LongDigestsAndSmallBuffers) {
  void* h = nullptr;
  ASSERT_EQ(SEF_DigestDataInitbyAlg(674, &h), 0u);
  ASSERT_EQ(SEF_DigestDataUpdate(h, U("abc"), 3), 0u);
  unsigned char out[64];
  unsigned int len = 32;
  EXPECT_EQ(SEF_DigestDataFinal(h, out, &len), 5003u);
  EXPECT_EQ(len, 64u);
  EXPECT_EQ(SEF_DigestDataFinal(h, out, &len), 0u);
  EXPECT_EQ(Bytes(out, out + 64), Evp("SHA512", "abc"));
}

}  // namespace
