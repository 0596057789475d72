// Several processes on one device: a write killed half-way leaves the old
// or the new content, and writers that run at once lose nothing.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "skfsoft_kit.h"

namespace {

using skt::Bytes;
using skt::Root;
using skt::Session;

const size_t kBigFile = 1u << 20;

Bytes ReadAll(HAPPLICATION app, const char* name, size_t size) {
  Bytes out(size);
  ULONG length = static_cast<ULONG>(size);
  EXPECT_EQ(SAR_OK,
            SKF_ReadFile(app, const_cast<char*>(name), 0,
                         static_cast<ULONG>(size), out.data(), &length));
  out.resize(length);
  return out;
}

// A child process that runs `work` on its own connection and exits with 0
// when it returns true.
template <class Work>
pid_t Child(int startPipe, Work&& work) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  char go = 0;
  if (startPipe >= 0 && read(startPipe, &go, 1) != 1) _exit(3);
  bool ok = false;
  {
    Session s;
    ok = work(s);
  }
  _exit(ok ? 0 : 1);
}

TEST(SkfsoftProcesses, KilledWriteLeavesOldOrNewContent) {
  Root root;
  Session s;
  char name[] = "big";
  ASSERT_EQ(SAR_OK, SKF_CreateFile(s.app, name, kBigFile, 0, 0));
  // Kill the writer at several moments of its loop of whole-file writes,
  // each write all one byte value.
  for (int delayMs : {1, 7, 23, 60}) {
    pid_t pid = Child(-1, [&](Session& child) {
      Bytes block(kBigFile);
      for (unsigned char value = 1;;
           value = static_cast<unsigned char>(value % 250 + 1)) {
        std::fill(block.begin(), block.end(), value);
        if (SKF_WriteFile(child.app, name, 0, block.data(), kBigFile) != SAR_OK)
          return false;
      }
    });
    ASSERT_GT(pid, 0);
    // Once the writer's first write landed, let it run on a little.
    const unsigned char before = ReadAll(s.app, name, 1)[0];
    for (int i = 0; i < 1000 && ReadAll(s.app, name, 1)[0] == before; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself";
    const Bytes content = ReadAll(s.app, name, kBigFile);
    ASSERT_EQ(content.size(), kBigFile);
    EXPECT_EQ(std::count(content.begin(), content.end(), content[0]),
              static_cast<long>(kBigFile))
        << "mixed content after " << delayMs << " ms";
  }
  // The killed writers' temporary files are never listed, and the next write
  // removes them.
  const auto enumFiles = [&](LPSTR l, ULONG* n) {
    return SKF_EnumFiles(s.app, l, n);
  };
  EXPECT_EQ(skt::Names(enumFiles), std::vector<std::string>{"big"});
  BYTE one = 7;
  ASSERT_EQ(SAR_OK, SKF_WriteFile(s.app, name, 0, &one, 1));
  size_t entries = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(root.App("files"))) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 1u);
}

TEST(SkfsoftProcesses, WritersAtOnceLoseNothing) {
  const unsigned kAttempts = 30;
  const size_t kChunk = 64;
  Root root(2 * kAttempts + 5);
  Session s;
  char name[] = "shared";
  ASSERT_EQ(SAR_OK, SKF_CreateFile(s.app, name, 2 * kAttempts * kChunk, 0, 0));
  int start[2];
  ASSERT_EQ(0, pipe(start));
  // Each writer fills its own chunks, one write per chunk, and spends one
  // wrong PIN after each.
  pid_t pids[2];
  for (int writer = 0; writer < 2; ++writer) {
    pids[writer] = Child(start[0], [&](Session& child) {
      Bytes chunk(kChunk, static_cast<unsigned char>('A' + writer));
      ULONG retries = 0;
      for (unsigned i = 0; i < kAttempts; ++i) {
        const ULONG offset = static_cast<ULONG>((2 * i + writer) * kChunk);
        if (SKF_WriteFile(child.app, name, offset, chunk.data(), kChunk) !=
                SAR_OK ||
            SKF_VerifyPIN(child.app, USER_TYPE, const_cast<char*>("bad"),
                          &retries) != SAR_PIN_INCORRECT)
          return false;
      }
      return true;
    });
    ASSERT_GT(pids[writer], 0);
  }
  close(start[0]);
  ASSERT_EQ(2, write(start[1], "gg", 2));
  close(start[1]);
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const Bytes content = ReadAll(s.app, name, 2 * kAttempts * kChunk);
  for (size_t i = 0; i < content.size(); ++i)
    ASSERT_EQ(content[i], 'A' + (i / kChunk) % 2) << "byte " << i;
  // Every wrong PIN of both counted.
  ULONG retries = 0;
  EXPECT_EQ(
      SAR_PIN_INCORRECT,
      SKF_VerifyPIN(s.app, USER_TYPE, const_cast<char*>("bad"), &retries));
  EXPECT_EQ(retries, 4u);
}

}  // namespace
