// The guard that exports run their work in and the delivery of results into
// caller buffers.
#include "foundation/export_boundary.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "KXError.h"
#include "ckxstr.h"
#include "test_process.h"

namespace {

TEST(DeliverOutput, FollowsTheOutputBufferRule) {
  const unsigned char kData[4] = {1, 2, 3, 4};
  struct Row {
    const char* name;
    uint32_t length;  // bytes of kData handed out (0: a null source)
    bool buffer;
    uint32_t capacity;
    uint32_t result;
    uint32_t storedLength;
    uint32_t copied;  // leading bytes of the buffer that must hold kData
  };
  const Row rows[] = {
      {"length query", 4, false, 0, 0, 4, 0},
      {"too small", 4, true, 3, KX_ERR_INVALID_LENGTH, 4, 0},
      {"exact", 4, true, 4, 0, 4, 4},
      {"larger", 4, true, 8, 0, 4, 4},
      {"empty result", 0, true, 8, 0, 0, 0},
  };
  for (const Row& r : rows) {
    unsigned char out[8];
    std::memset(out, 0xEE, sizeof out);
    uint32_t len = r.capacity;
    EXPECT_EQ(r.result, kx::DeliverOutput(r.length ? kData : nullptr, r.length,
                                          r.buffer ? out : nullptr, &len))
        << r.name;
    EXPECT_EQ(r.storedLength, len) << r.name;
    for (uint32_t i = 0; i < sizeof out; ++i)
      EXPECT_EQ(i < r.copied ? kData[i] : 0xEE, out[i]) << r.name << " " << i;
  }
}

enum class Throw { kNothing, kBadAlloc, kRuntimeError, kInt };

unsigned int Work(Throw what) {
  switch (what) {
    case Throw::kBadAlloc:
      throw std::bad_alloc();
    case Throw::kRuntimeError:
      throw std::runtime_error("broken");
    case Throw::kInt:
      throw 7;
    default:
      return 42;
  }
}

const kx::ExportFailure kApi{"T_Api", "T_Api==>%08x -- memory error",
                             "T_Api==>%08x -- unexpected error"};
// An export that documents one code for every failure.
const kx::ExportFailure kDigest{"T_Digest", "T_Digest==>%08x -- digest error",
                                "T_Digest==>%08x -- digest error",
                                KX_ERR_DIGEST, KX_ERR_DIGEST};
const kx::ExportFailure kCommon = kx::CommonFailure("T_Common");
const kx::ExportFailure kSilent = kx::SilentFailure("T_Silent");

// The guard's result and the source line of its call.
struct Call {
  unsigned int rc;
  int line;
};
Call Guarded(const kx::ExportFailure& failure, Throw what) {
  return {kx::GuardCode(failure, [&] { return Work(what); }), __LINE__};
}

unsigned int (*const kWork)() = [] { return Work(Throw::kInt); };
static_assert(noexcept(kx::GuardCode(kApi, kWork)),
              "the guard lets no exception out");

TEST(GuardCode, EndsEachExceptionWithItsCodeAndOneLine) {
  struct Row {
    Throw what;
    const kx::ExportFailure* failure;
    unsigned int code;
    const char* text;  // null: nothing logged
    int lastError;
  };
  const Row rows[] = {
      {Throw::kNothing, &kApi, 42, nullptr, 0},
      {Throw::kBadAlloc, &kApi, 5009, "] T_Api==>00001391 -- memory error\n",
       0},
      {Throw::kRuntimeError, &kApi, 5001,
       "] T_Api==>00001389 -- unexpected error\n", 0},
      {Throw::kInt, &kDigest, 5016, "] T_Digest==>00001398 -- digest error\n",
       0},
      {Throw::kBadAlloc, &kCommon, 5009, "] \n", 5009},
      {Throw::kInt, &kCommon, 5001, "] \n", 5001},
      {Throw::kBadAlloc, &kSilent, 5009, nullptr, 0},
  };
  for (const Row& r : rows) {
    const std::string name = r.failure->function;
    KXSetLastError(0);
    fx::TestLog::Watch();
    const Call call = Guarded(*r.failure, r.what);
    EXPECT_EQ(r.code, call.rc) << name;
    const std::string log = fx::TestLog::Since();
    if (r.text == nullptr) {
      EXPECT_EQ("", log) << name;
    } else {
      // One line, under the export's name and the line of the guard's call.
      EXPECT_EQ(0u, log.rfind("[ERROR ", 0)) << log;
      EXPECT_EQ(log.size() - 1, log.find('\n')) << log;
      EXPECT_NE(std::string::npos,
                log.find(" " + name + " " + std::to_string(call.line) + r.text))
          << log;
    }
    EXPECT_EQ(r.lastError, KXGetLastError()) << name;
  }
}

TEST(GuardValue, EndsWithTheEmptyValue) {
  KXSetLastError(0);
  fx::TestLog::Watch();
  const ckxstr text = kx::GuardValue(kCommon, []() -> ckxstr {
    ckxstr s;
    s.assign("partial", 7);
    throw std::bad_alloc();
  });
  EXPECT_TRUE(text.empty());
  EXPECT_EQ(5009, KXGetLastError());
  EXPECT_TRUE(fx::TestLog::Has(" T_Common "));

  fx::TestLog::Watch();
  int reached = 0;
  kx::GuardValue(kSilent, [&] {
    ++reached;
    throw std::runtime_error("broken");
  });
  EXPECT_EQ(1, reached);
  EXPECT_EQ("", fx::TestLog::Since());
  EXPECT_EQ(7, kx::GuardValue(kSilent, [] { return 7; }));
}

}  // namespace
