// Offline authorization files: checking, pruning and the seal identifier on
// texts with each kind of line end, their codes and log lines, and writing
// the pruned text back. Periods are placed days away from now.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "KXTime.h"
#include "SealServices.h"
#include "test_process.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

const long kDay = 24 * 3600;

// Local display time `seconds` from now, as the files hold it.
std::string FromNow(long seconds) {
  const ckxstr text =
      KXTimeToStr((time(nullptr) + seconds) * 1000L, false, false);
  return std::string(text.c_str(), text.length());
}

const std::string kLongAgo = "2000-01-01 00:00:00";
const std::string kFarAhead = "2099-12-31 23:59:59";

std::string Times(const std::string& begin, const std::string& end,
                  const std::string& eol = "\r\n") {
  return "time_begin =" + begin + eol + "time_end =" + end + eol;
}

std::string Record(const std::string& id, const std::string& begin,
                   const std::string& end, const std::string& eol = "\r\n") {
  return "es_id=" + id + eol + Times(begin, end, eol);
}

// The text without a terminating NUL: nothing may be read past its length.
// (An empty one keeps one byte of room, so that its pointer is not null.)
Bytes Unterminated(const std::string& text) {
  Bytes bytes(text.begin(), text.end());
  bytes.reserve(1);
  return bytes;
}

// SE_Del_InvalidTime_Offline_AuthFile on the first `len` bytes of `text`:
// asks for the length, then takes the text in a buffer of exactly that size.
std::string Prune(const std::string& text, uint32_t* code,
                  size_t len = std::string::npos) {
  const Bytes in = Unterminated(text);
  const uint32_t size =
      static_cast<uint32_t>(len == std::string::npos ? in.size() : len);
  uint32_t needed = 0;
  *code =
      SE_Del_InvalidTime_Offline_AuthFile(in.data(), size, nullptr, &needed);
  if (*code != 0) return std::string();
  Bytes out(needed + 1, 0xEE);
  uint32_t cap = needed;
  *code =
      SE_Del_InvalidTime_Offline_AuthFile(in.data(), size, out.data(), &cap);
  EXPECT_EQ(cap, needed);
  EXPECT_EQ(out[needed], 0xEE) << "no byte past the length is written";
  return std::string(out.begin(), out.begin() + cap);
}

class Offline : public ::testing::Test {
 protected:
  void SetUp() override { fx::TestLog::Watch(); }
};

TEST_F(Offline, VerifyAndPruneByRecord) {
  const std::string past = FromNow(-2 * kDay), future = FromNow(2 * kDay);
  const std::string valid = Record("V", past, future);
  const std::string expired = Record("E", kLongAgo, past);
  const std::string ahead = Record("F", future, FromNow(4 * kDay));
  const std::string whole = Record("A", kLongAgo, kFarAhead);
  const char* kStartMissing =
      "SE_Verify_Offline_Time-->5002 -- not find start time, offline authfile "
      "error";
  const char* kNoPeriod =
      "SE_Verify_Offline_Time-->5037 -- off line time not in valid period";
  struct Row {
    const char* what;
    std::string text;
    uint32_t verify;  // SE_Verify_Offline_Time and SEBF_CheckTime_OffAuthFile
    uint32_t prune;   // SE_Del_InvalidTime_Offline_AuthFile
    std::string kept;
    std::string line;                   // written by the calls of the row
    size_t length = std::string::npos;  // passed instead of the text's
  } rows[] = {
      {"\\r\\n line ends", whole, 0, 0, whole,
       "CBEGIN is " + kLongAgo + ",CENDT is " + kFarAhead},
      {"\\n line ends", Record("A", kLongAgo, kFarAhead, "\n"), 0, 0,
       Record("A", kLongAgo, kFarAhead, "\n"), ""},
      {"\\r line ends", Record("A", kLongAgo, kFarAhead, "\r"), 0, 0,
       Record("A", kLongAgo, kFarAhead, "\r"), ""},
      {"expired, then valid", expired + valid, 0, 0, valid,
       "SE_CheckTimeValid-->5037 -- off line time expired"},
      {"expired, then valid, \\n line ends",
       Record("E", kLongAgo, past, "\n") + Record("V", past, future, "\n"), 0,
       0, Record("V", past, future, "\n"), ""},
      {"valid, future, valid", valid + ahead + whole, 0, 0, valid + whole,
       "SE_CheckTimeValid-->5037 -- off line time not begin"},
      {"period begins in two days", ahead, 0, 0, "", ""},
      {"the seal named once, first record dropped",
       "es_id=ONE\n" + Times(kLongAgo, past, "\n") + Times(past, future, "\n"),
       0, 0, "es_id=ONE\n" + Times(past, future, "\n"), ""},
      {"the seal named once, nothing kept",
       "es_id=ONE\r\n" + Times(kLongAgo, past), 5037, 0, "", kNoPeriod},
      {"expired only", expired, 5037, 0, "", kNoPeriod},
      {"unparsable end", Record("X", kLongAgo, "2099-13-01 00:00:00"), 5037, 0,
       "", kNoPeriod},
      {"unparsable begin", Record("X", "soon", future), 0, 0,
       Record("X", "soon", future), ""},
      {"end longer than 31 characters",
       Record("X", kLongAgo, kFarAhead + std::string(13, ' ')), 5037, 0, "",
       kNoPeriod},
      {"ASN.1 times", Record("X", "20000101000000Z", "20991231235959Z"), 0, 0,
       Record("X", "20000101000000Z", "20991231235959Z"), ""},
      {"UTCTime end in 1999", Record("X", "990101000000Z", "991231235959Z"),
       5037, 0, "", kNoPeriod},
      {"begin without the blank before =",
       "es_id=X\r\ntime_begin=" + past + "\r\ntime_end =" + future + "\r\n",
       5002, 5002, "", kStartMissing},
      {"no end", "es_id=X\r\ntime_begin =" + past + "\r\n", 5002, 5002, "",
       "SE_Del_InvalidTime_Offline_AuthFile-->5002 -- not find end time, "
       "offline authfile error"},
      {"empty line after an expired record", expired + "\r\n", 5002, 5002, "",
       kStartMissing},
      {"empty line after a valid record", whole + "\r\n", 0, 5002, "", ""},
      {"empty text", "", 5037, 0, "", kNoPeriod},
      {"the length ends the text", whole + "time_begin =junk", 0, 0, whole, "",
       whole.size()},
      {"a NUL ends the text", whole + std::string(1, '\0') + "junk", 0, 0,
       whole, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    fx::TestLog::Watch();
    const Bytes in = Unterminated(row.text);
    const uint32_t len = static_cast<uint32_t>(
        row.length == std::string::npos ? in.size() : row.length);
    EXPECT_EQ(SE_Verify_Offline_Time(in.data(), len), row.verify);
    EXPECT_EQ(SEBF_CheckTime_OffAuthFile(in.data(), len), row.verify);
    uint32_t code = 0;
    EXPECT_EQ(Prune(row.text, &code, len), row.kept);
    EXPECT_EQ(code, row.prune);
    if (!row.line.empty()) {
      EXPECT_TRUE(fx::TestLog::Has(row.line)) << fx::TestLog::Since();
    }
  }
}

TEST_F(Offline, PrunedTextWrittenReadBackAndCheckedAgain) {
  const std::string past = FromNow(-3 * kDay), future = FromNow(3 * kDay);
  const std::string text = Record("OLD", kLongAgo, past, "\n") +
                           Record("NOW", past, future, "\n") +
                           Record("LATER", future, kFarAhead, "\n") +
                           Record("ALWAYS", kLongAgo, kFarAhead, "\n");
  uint32_t code = 1;
  const std::string kept = Prune(text, &code);
  ASSERT_EQ(code, 0u);
  EXPECT_EQ(kept, Record("NOW", past, future, "\n") +
                      Record("ALWAYS", kLongAgo, kFarAhead, "\n"));
  const fs::path file = fs::temp_directory_path() /
                        ("kxoffline_" + std::to_string(getpid()) + ".txt");
  ASSERT_EQ(SE_WriteFile(file.c_str(),
                         reinterpret_cast<const unsigned char*>(kept.data()),
                         static_cast<int>(kept.size())),
            0u);
  std::stringstream back;
  back << std::ifstream(file, std::ios::binary).rdbuf();
  fs::remove(file);
  const Bytes read = Unterminated(back.str());
  EXPECT_EQ(back.str(), kept);
  EXPECT_EQ(
      SE_Verify_Offline_Time(read.data(), static_cast<uint32_t>(read.size())),
      0u);
  EXPECT_EQ(Prune(back.str(), &code), kept);
  unsigned char id[8];
  uint32_t idLen = sizeof id;
  ASSERT_EQ(SE_Get_Offline_ID(read.data(), static_cast<uint32_t>(read.size()),
                              id, &idLen),
            0u);
  EXPECT_EQ(std::string(id, id + idLen), "NOW");
}

TEST_F(Offline, OutputBuffers) {
  const Bytes text = Unterminated(Record("ABC", kLongAgo, kFarAhead));
  const uint32_t size = static_cast<uint32_t>(text.size());
  unsigned char out[256];
  std::memset(out, 0xEE, sizeof out);
  uint32_t len = 2;
  EXPECT_EQ(SE_Get_Offline_ID(text.data(), size, out, &len), 5003u);
  EXPECT_EQ(len, 3u);
  EXPECT_EQ(out[0], 0xEE);
  EXPECT_TRUE(fx::TestLog::Has(
      "SE_Verify_Offline_AuthFile-->5003 -- esealID buffer too small"));
  len = 0;
  EXPECT_EQ(SE_Get_Offline_ID(text.data(), size, nullptr, &len), 0u);
  EXPECT_EQ(len, 3u);
  EXPECT_EQ(SE_Get_Offline_ID(text.data(), size, out, &len), 0u);
  EXPECT_EQ(std::string(out, out + len), "ABC");
  len = size - 1;
  EXPECT_EQ(SE_Del_InvalidTime_Offline_AuthFile(text.data(), size, out, &len),
            5003u);
  EXPECT_EQ(len, size);
  EXPECT_EQ(out[3], 0xEE);
  EXPECT_TRUE(
      fx::TestLog::Has("SE_Del_InvalidTime_Offline_AuthFile-->5003 -- newfile "
                       "buffer too small"));
  const Bytes noId =
      Unterminated("time_begin =" + kLongAgo + "\r\ntime_end =" + kFarAhead);
  len = sizeof out;
  EXPECT_EQ(SE_Get_Offline_ID(noId.data(), static_cast<uint32_t>(noId.size()),
                              out, &len),
            5002u);
  EXPECT_TRUE(
      fx::TestLog::Has("SE_Verify_Offline_AuthFile-->5002 -- not find eseal "
                       "ID, offline authfile error"));
}

TEST_F(Offline, NullArguments) {
  const unsigned char text[] = "es_id=A";
  unsigned char out[8];
  uint32_t len = sizeof out;
  struct Row {
    uint32_t code;
    std::string line;
  } rows[] = {
      {SE_Verify_Offline_Time(nullptr, 5),
       "SE_Verify_Offline_Time-->5002 -- arguments error"},
      {SEBF_CheckTime_OffAuthFile(nullptr, 5),
       "SE_Verify_Offline_Time-->5002 -- arguments error"},
      {SE_Del_InvalidTime_Offline_AuthFile(nullptr, 5, out, &len),
       "SE_Del_InvalidTime_Offline_AuthFile-->5002 -- arguments error"},
      {SE_Del_InvalidTime_Offline_AuthFile(text, 7, out, nullptr),
       "SE_Del_InvalidTime_Offline_AuthFile-->5002 -- arguments error"},
      {SE_Get_Offline_ID(nullptr, 5, out, &len),
       "SE_Verify_Offline_AuthFile-->5002 -- arguments error"},
      {SE_Get_Offline_ID(text, 7, out, nullptr),
       "SE_Verify_Offline_AuthFile-->5002 -- arguments error"},
      {SE_WriteFile(nullptr, text, 1),
       "SE_WriteFile-->0000138a -- arguments error"},
      {SE_WriteFile("/tmp/x", nullptr, 1),
       "SE_WriteFile-->0000138a -- arguments error"},
      {SE_WriteFile("/tmp/x", text, -1),
       "SE_WriteFile-->0000138a -- arguments error"},
  };
  const std::string log = fx::TestLog::Since();
  for (const Row& row : rows) {
    EXPECT_EQ(row.code, 5002u) << row.line;
    EXPECT_NE(log.find(row.line), std::string::npos) << row.line;
  }
  EXPECT_EQ(len, sizeof out);
}

TEST_F(Offline, CheckTimeValid) {
  const std::string past = FromNow(-2 * kDay), future = FromNow(2 * kDay);
  const std::string afterFuture = future + "\r\ntime_end =" + past;
  const std::string tooLong = kFarAhead + std::string(21, ' ');
  struct Row {
    const char* begin;
    const char* end;
    int valid;
    const char* line;
  } rows[] = {
      {past.c_str(), future.c_str(), 1, nullptr},
      {future.c_str(), nullptr, 0,
       "SE_CheckTimeValid-->5037 -- off line time not begin"},
      {nullptr, past.c_str(), 0,
       "SE_CheckTimeValid-->5037 -- off line time expired"},
      {nullptr, afterFuture.c_str(), 1, nullptr},  // the value stops at "\r"
      {"garbage", future.c_str(), 1, nullptr},
      {nullptr, "garbage", 0,
       "SE_CheckTimeValid-->5037 -- off line time expired"},
      {nullptr, tooLong.c_str(), 0,
       "SE_CheckTimeValid-->5037 -- off line time expired"},
      {nullptr, nullptr, 0,
       "SE_CheckTimeValid-->5002 -- both no begintime and  endtime error"},
  };
  for (const Row& row : rows) {
    fx::TestLog::Watch();
    EXPECT_EQ(SE_CheckTimeValid(row.begin, row.end), row.valid)
        << (row.begin ? row.begin : "null") << " / "
        << (row.end ? row.end : "null");
    if (row.line != nullptr) {
      EXPECT_TRUE(fx::TestLog::Has(row.line)) << row.line;
    }
  }
}

// ---------------------------------------------------------------------------
// SE_WriteFile

class WriteFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kxwrite_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    fx::TestLog::Watch();
  }
  void TearDown() override { fs::remove_all(dir_); }

  static uint32_t Write(const fs::path& path, const std::string& bytes) {
    return SE_WriteFile(path.c_str(),
                        reinterpret_cast<const unsigned char*>(bytes.data()),
                        static_cast<int>(bytes.size()));
  }
  static std::string Read(const fs::path& path) {
    std::stringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
  }
  // The names in the folder: no temporary file may stay behind.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
};

TEST_F(WriteFile, CreatesAndReplacesInOneStep) {
  const fs::path file = dir_ / "auth.txt";
  ASSERT_EQ(Write(file, "a longer first text"), 0u);
  EXPECT_EQ(Read(file), "a longer first text");
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_EQ(Write(file, "short"), 0u);
  EXPECT_EQ(Read(file), "short");
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_EQ(SE_WriteFile(file.c_str(), nullptr, 0), 0u);
  EXPECT_EQ(fs::file_size(file), 0u);
  EXPECT_EQ(Names(), std::vector<std::string>{"auth.txt"});
}

TEST_F(WriteFile, SymbolicLinkIsReplacedNotFollowed) {
  const fs::path target = dir_ / "target.txt";
  const fs::path link = dir_ / "auth.txt";
  std::ofstream(target) << "keep";
  fs::create_symlink(target, link);
  ASSERT_EQ(Write(link, "new"), 0u);
  EXPECT_FALSE(fs::is_symlink(link));
  EXPECT_EQ(Read(link), "new");
  EXPECT_EQ(Read(target), "keep");
}

TEST_F(WriteFile, UnopenableTargets) {
  for (const fs::path& path : {dir_ / "missing" / "auth.txt", dir_}) {
    fx::TestLog::Watch();
    EXPECT_EQ(Write(path, "x"), 5005u) << path;
    EXPECT_TRUE(
        fx::TestLog::Has("SE_WriteFile-->0000138d --  FileName not open"));
  }
  EXPECT_TRUE(Names().empty());
}

TEST_F(WriteFile, FailedWriteLeavesTheOldFile) {
  const fs::path file = dir_ / "auth.txt";
  ASSERT_EQ(Write(file, "old"), 0u);
  // A file size limit makes the write fail part way; in a child process so
  // that the limit does not reach the test's own log.
  const pid_t pid = fork();
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const struct rlimit limit = {100, 100};
    setrlimit(RLIMIT_FSIZE, &limit);
    _exit(Write(file, std::string(1000, 'x')) == 5006 ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(Read(file), "old");
  EXPECT_EQ(Names(), std::vector<std::string>{"auth.txt"});
}

}  // namespace
