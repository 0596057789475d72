// Result-code texts, the per-thread last error and message, and the
// thread-local store under them.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "KXError.h"

namespace {

TEST(FormatError, FixedTexts) {
  struct Row {
    int code;
    const char* text;
  };
  const Row rows[] = {
      {-1, "错误"},
      {0, "成功"},
      {-2, "未知错误代码"},
      {INT_MIN, "未知错误代码"},
      {5072, "未知错误代码"},
      {INT_MAX, "未知错误代码"},
      {5000, "未知错误"},
      {5018, "asn1编解码失败"},
      {5048, "校验CRL失败"},
      {5050, "编码转换失败"},
      {5052, "证书不存在，请查看设备是否有效"},
      {5069, "openssl函数错误"},
      {5071, "数据已到最大限制"},
  };
  for (const Row& r : rows)
    EXPECT_STREQ(r.text, KXFormatError(r.code)) << r.code;
  // The reserved code keeps its slot: a text of its own, not a neighbour's.
  EXPECT_STRNE("", KXFormatError(5049));
  EXPECT_STRNE(KXFormatError(5048), KXFormatError(5049));
  EXPECT_STRNE(KXFormatError(5050), KXFormatError(5049));
}

TEST(FormatError, MessageCarryingCodesGiveTheLastMessage) {
  KXSetLastMsg(nullptr);  // no message of an earlier test on this thread
  for (int code : {1, 42, 3000, 4999}) EXPECT_STREQ("", KXFormatError(code));
  KXSetLastMsg("自定义 text");
  for (int code : {1, 42, 3000, 4999}) {
    EXPECT_STREQ("自定义 text", KXFormatError(code));
    EXPECT_EQ(KXGetLastMsg(), KXFormatError(code));
  }
  EXPECT_STREQ("未知错误", KXFormatError(5000));
}

TEST(LastError, NewThreadStartsEmptyWithoutAllocating) {
  KXSetLastError(5005);
  KXSetLastMsg("main");
  std::thread([] {
    EXPECT_EQ(0, KXGetLastError());
    EXPECT_STREQ("", KXGetLastMsg());
    EXPECT_EQ(nullptr, pthread_getspecific(g_tlsKey));
  }).join();
  EXPECT_EQ(5005, KXGetLastError());
  EXPECT_STREQ("main", KXGetLastMsg());
}

TEST(LastError, MessageAndErrorAreIndependent) {
  KXSetLastError(5002);
  KXSetLastMsg("x");
  KXSetLastMsg(nullptr);
  EXPECT_STREQ("", KXGetLastMsg());
  EXPECT_EQ(5002, KXGetLastError());
  const std::string longText(20000, 'm');  // beyond the reserved 8192 bytes
  KXSetLastMsg(longText.c_str());
  EXPECT_EQ(longText, KXGetLastMsg());
  KXSetLastError(0);
  EXPECT_EQ(longText, KXGetLastMsg());
}

// Threads set their own values at the same time and read them back after
// all have written: any sharing between threads shows up as a wrong value.
TEST(LastError, IsolatedAcrossConcurrentThreads) {
  const int kThreads = 8;
  pthread_barrier_t sync;
  pthread_barrier_init(&sync, nullptr, kThreads);
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 50; ++round) {
        const int code = 5000 + (t * 50 + round) % 72;
        const std::string msg =
            "thread " + std::to_string(t) + " round " + std::to_string(round);
        KXSetLastError(code);
        KXSetLastMsg(msg.c_str());
        pthread_barrier_wait(&sync);
        if (KXGetLastError() != code || msg != KXGetLastMsg()) ++mismatches;
        pthread_barrier_wait(&sync);
      }
    });
  }
  for (auto& th : threads) th.join();
  pthread_barrier_destroy(&sync);
  EXPECT_EQ(0, mismatches.load());
}

// A cleanup that records every value it frees.
struct Recorder : basic_tls_cleanup {
  std::vector<void*>* freed;
  explicit Recorder(std::vector<void*>* f) : freed(f) {}
  void operator()(void* data) const override { freed->push_back(data); }
};

TEST(TlsStore, ThreadEndFreesEachValueOnceInKeyOrder) {
  static char keys[4];
  int values[4];
  std::vector<void*> freed;
  Recorder cleanup(&freed);
  std::thread([&] {
    for (int i : {3, 1, 0, 2})
      basic_tls_set_data(&keys[i], &values[i], &cleanup, true);
    basic_tls_set_data(&values, &values, nullptr, true);  // no cleanup: kept
    EXPECT_EQ(&values[2], basic_tls_get_data(&keys[2]));
    static char unused;
    EXPECT_EQ(nullptr, basic_tls_get_data(&unused));
  }).join();
  const std::vector<void*> want = {&values[0], &values[1], &values[2],
                                   &values[3]};
  EXPECT_EQ(want, freed);
}

TEST(TlsStore, CleanOldFreesTheReplacedValueOnce) {
  static char key;
  int a, b, c;
  std::vector<void*> freed;
  Recorder cleanup(&freed);
  std::thread([&] {
    basic_tls_set_data(&key, &a, &cleanup, true);
    basic_tls_set_data(&key, &a, &cleanup, true);  // same value: not freed
    EXPECT_TRUE(freed.empty());
    basic_tls_set_data(&key, &b, &cleanup, true);
    EXPECT_EQ(std::vector<void*>{&a}, freed);
    basic_tls_set_data(&key, &c, &cleanup, false);  // b left to the caller
    EXPECT_EQ(std::vector<void*>{&a}, freed);
    EXPECT_EQ(&c, basic_tls_get_data(&key));
  }).join();
  const std::vector<void*> want = {&a, &c};
  EXPECT_EQ(want, freed);
}

TEST(TlsStore, DestructorWithNullFreesTheCallingThreadsMap) {
  static char key;
  int a;
  std::vector<void*> freed;
  Recorder cleanup(&freed);
  basic_tls_set_data(&key, &a, &cleanup, true);
  KXSetLastError(5001);
  basic_tls_destructor(nullptr);
  EXPECT_EQ(std::vector<void*>{&a}, freed);
  EXPECT_EQ(nullptr, basic_tls_get_data(&key));
  EXPECT_EQ(0, KXGetLastError());
  basic_tls_destructor(nullptr);  // no map: nothing happens
  EXPECT_EQ(1u, freed.size());
}

struct Counted {
  static std::atomic<int> alive;
  Counted() { ++alive; }
  ~Counted() { --alive; }
};
std::atomic<int> Counted::alive{0};

// A CKXTls that goes away before the thread frees its value and cleanup;
// the thread's end must not call the deleted cleanup (ASan watches).
TEST(TlsStore, VariableDestroyedBeforeThreadEnd) {
  std::thread([] {
    auto* var = new CKXTls<Counted>;
    var->set(new Counted);
    EXPECT_EQ(1, Counted::alive.load());
    delete var;
    EXPECT_EQ(0, Counted::alive.load());
  }).join();
  EXPECT_EQ(0, Counted::alive.load());
}

TEST(Mutex, IsRecursive) {
  CKXMutex m;
  ASSERT_TRUE(m.lock());
  ASSERT_TRUE(m.lock());
  m.unlock();
  m.unlock();
  std::thread([&] {
    EXPECT_TRUE(m.lock());
    m.unlock();
  }).join();
}

}  // namespace
