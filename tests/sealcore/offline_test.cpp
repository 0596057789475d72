// Offline authorization files: checking, pruning and the seal identifier on
// texts with each kind of line end, with their codes and log lines, and the
// pruned text written back. Periods lie days away from now; every text is
// passed without a terminating NUL, so a read past its length shows up under
// the sanitizers.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
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
const std::string kLongAgo = "2000-01-01 00:00:00";
const std::string kFarAhead = "2099-12-31 23:59:59";

// Local display time `days` from now, as the files hold it.
std::string FromNow(long days) {
  const ckxstr text =
      KXTimeToStr((time(nullptr) + days * kDay) * 1000L, false, false);
  return std::string(text.c_str(), text.length());
}

std::string Times(const std::string& begin, const std::string& end,
                  const std::string& eol = "\r\n") {
  return "time_begin =" + begin + eol + "time_end =" + end + eol;
}

std::string Record(const std::string& id, const std::string& begin,
                   const std::string& end, const std::string& eol = "\r\n") {
  return "es_id=" + id + eol + Times(begin, end, eol);
}

// The bytes without a NUL after them (room for one, so that an empty text
// still has a pointer).
Bytes Unterminated(const std::string& text) {
  Bytes bytes(text.begin(), text.end());
  bytes.reserve(1);
  return bytes;
}

// Asks for the pruned length, then takes the text into exactly that room.
std::string Prune(const Bytes& in, uint32_t size, uint32_t* code) {
  uint32_t needed = 0;
  *code =
      SE_Del_InvalidTime_Offline_AuthFile(in.data(), size, nullptr, &needed);
  if (*code != 0) return std::string();
  Bytes out(needed + 1, 0xEE);
  *code =
      SE_Del_InvalidTime_Offline_AuthFile(in.data(), size, out.data(), &needed);
  EXPECT_EQ(out[needed], 0xEE) << "a byte past the length was written";
  return std::string(out.begin(), out.begin() + needed);
}

std::string Read(const fs::path& path) {
  std::stringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

TEST(Offline, VerifyAndPruneByRecord) {
  const std::string past = FromNow(-2), future = FromNow(2);
  const std::string valid = Record("V", past, future);
  const std::string ahead = Record("F", future, FromNow(4));
  const std::string whole = Record("A", kLongAgo, kFarAhead);
  const std::string noStart =
      "SE_Verify_Offline_Time-->5002 -- not find start time, offline authfile "
      "error";
  const std::string none =
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
      {"\\r\\n", whole, 0, 0, whole,
       "CBEGIN is " + kLongAgo + ",CENDT is " + kFarAhead},
      {"\\r", Record("A", kLongAgo, kFarAhead, "\r"), 0, 0,
       Record("A", kLongAgo, kFarAhead, "\r"), ""},
      {"expired, then valid, \\n",
       Record("E", kLongAgo, past, "\n") + Record("V", past, future, "\n"), 0,
       0, Record("V", past, future, "\n"),
       "SE_CheckTimeValid-->5037 -- off line time expired"},
      {"valid, future, valid", valid + ahead + whole, 0, 0, valid + whole,
       "SE_CheckTimeValid-->5037 -- off line time not begin"},
      {"future only: the start is not checked", ahead, 0, 0, "", ""},
      {"seal named once, its record dropped",
       "es_id=ONE\n" + Times(kLongAgo, past, "\n") + Times(past, future, "\n"),
       0, 0, "es_id=ONE\n" + Times(past, future, "\n"), ""},
      {"seal named once, nothing kept", "es_id=ONE\r\n" + Times(kLongAgo, past),
       5037, 0, "", none},
      {"unparsable end", Record("X", kLongAgo, "2099-13-01 00:00:00"), 5037, 0,
       "", none},
      {"unparsable begin", Record("X", "soon", future), 0, 0,
       Record("X", "soon", future), ""},
      {"end longer than 31 characters",
       Record("X", kLongAgo, kFarAhead + std::string(13, ' ')), 5037, 0, "",
       none},
      {"ASN.1 times", Record("X", "20000101000000Z", "20991231235959Z"), 0, 0,
       Record("X", "20000101000000Z", "20991231235959Z"), ""},
      {"no blank before =", "time_begin=" + past + "\r\ntime_end =" + future,
       5002, 5002, "", noStart},
      {"no end", "es_id=X\r\ntime_begin =" + past + "\r\n", 5002, 5002, "",
       "SE_Del_InvalidTime_Offline_AuthFile-->5002 -- not find end time, "
       "offline authfile error"},
      {"empty line after a valid record", whole + "\r\n", 0, 5002, "", ""},
      {"empty line after an expired record",
       Record("E", kLongAgo, past) + "\r\n", 5002, 5002, "", noStart},
      {"empty text", "", 5037, 0, "", none},
      {"the length ends the text", whole + "time_begin =", 0, 0, whole, "",
       whole.size()},
      {"a NUL ends the text", whole + std::string(1, '\0') + "x", 0, 0, whole,
       ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    fx::TestLog::Watch();
    const Bytes in = Unterminated(row.text);
    const uint32_t size = static_cast<uint32_t>(
        row.length == std::string::npos ? in.size() : row.length);
    EXPECT_EQ(SE_Verify_Offline_Time(in.data(), size), row.verify);
    EXPECT_EQ(SEBF_CheckTime_OffAuthFile(in.data(), size), row.verify);
    uint32_t code = 0;
    EXPECT_EQ(Prune(in, size, &code), row.kept);
    EXPECT_EQ(code, row.prune);
    EXPECT_TRUE(fx::TestLog::Has(row.line)) << fx::TestLog::Since();
  }
}

TEST(Offline, PrunedTextWrittenReadBackAndCheckedAgain) {
  const std::string past = FromNow(-3), future = FromNow(3);
  const std::string kept = Record("NOW", past, future, "\n") +
                           Record("ALWAYS", kLongAgo, kFarAhead, "\n");
  const Bytes text = Unterminated(Record("OLD", kLongAgo, past, "\n") +
                                  Record("NOW", past, future, "\n") +
                                  Record("LATER", future, kFarAhead, "\n") +
                                  Record("ALWAYS", kLongAgo, kFarAhead, "\n"));
  uint32_t code = 1;
  ASSERT_EQ(Prune(text, static_cast<uint32_t>(text.size()), &code), kept);
  const fs::path file = fs::temp_directory_path() /
                        ("kxoffline_" + std::to_string(getpid()) + ".txt");
  ASSERT_EQ(SE_WriteFile(file.c_str(), Unterminated(kept).data(),
                         static_cast<int>(kept.size())),
            0u);
  const Bytes back = Unterminated(Read(file));
  fs::remove(file);
  const uint32_t size = static_cast<uint32_t>(back.size());
  EXPECT_EQ(SE_Verify_Offline_Time(back.data(), size), 0u);
  EXPECT_EQ(Prune(back, size, &code), kept);
  unsigned char id[8];
  uint32_t idLen = sizeof id;
  ASSERT_EQ(SE_Get_Offline_ID(back.data(), size, id, &idLen), 0u);
  EXPECT_EQ(std::string(id, id + idLen), "NOW");
}

TEST(Offline, BuffersAndArguments) {
  fx::TestLog::Watch();
  const Bytes text = Unterminated(Record("ABC", kLongAgo, kFarAhead));
  const uint32_t size = static_cast<uint32_t>(text.size());
  const Bytes noId = Unterminated(Times(kLongAgo, kFarAhead));
  const std::string endLine = FromNow(2) + "\r\ntime_end =" + FromNow(-2);
  unsigned char out[64] = {0xEE};
  uint32_t len = 2, idLen = 0, keptLen = size - 1, unchanged = 7;
  const struct {
    uint32_t got, code;
    const char* line;
  } rows[] = {
      {SE_Get_Offline_ID(text.data(), size, out, &len), 5003,
       "SE_Verify_Offline_AuthFile-->5003 -- esealID buffer too small"},
      {SE_Get_Offline_ID(text.data(), size, nullptr, &idLen), 0, ""},
      {SE_Get_Offline_ID(noId.data(), static_cast<uint32_t>(noId.size()), out,
                         &unchanged),
       5002,
       "SE_Verify_Offline_AuthFile-->5002 -- not find eseal ID, offline "
       "authfile error"},
      {SE_Del_InvalidTime_Offline_AuthFile(text.data(), size, out, &keptLen),
       5003,
       "SE_Del_InvalidTime_Offline_AuthFile-->5003 -- newfile buffer too "
       "small"},
      {SE_Verify_Offline_Time(nullptr, 5), 5002,
       "SE_Verify_Offline_Time-->5002 -- arguments error"},
      {SEBF_CheckTime_OffAuthFile(nullptr, 5), 5002,
       "SE_Verify_Offline_Time-->5002 -- arguments error"},
      {SE_Del_InvalidTime_Offline_AuthFile(nullptr, 5, out, &unchanged), 5002,
       "SE_Del_InvalidTime_Offline_AuthFile-->5002 -- arguments error"},
      {SE_Del_InvalidTime_Offline_AuthFile(text.data(), size, out, nullptr),
       5002, "SE_Del_InvalidTime_Offline_AuthFile-->5002 -- arguments error"},
      {SE_Get_Offline_ID(nullptr, 5, out, &unchanged), 5002,
       "SE_Verify_Offline_AuthFile-->5002 -- arguments error"},
      {SE_WriteFile(nullptr, text.data(), 1), 5002,
       "SE_WriteFile-->0000138a -- arguments error"},
      {SE_WriteFile("/tmp/x", nullptr, 1), 5002, ""},
      {SE_WriteFile("/tmp/x", text.data(), -1), 5002, ""},
      {static_cast<uint32_t>(SE_CheckTimeValid(nullptr, nullptr)), 0,
       "SE_CheckTimeValid-->5002 -- both no begintime and  endtime error"},
      // A caller's value ends at its line end.
      {static_cast<uint32_t>(SE_CheckTimeValid(nullptr, endLine.c_str())), 1,
       ""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.got, row.code) << row.line;
    EXPECT_TRUE(fx::TestLog::Has(row.line)) << row.line;
  }
  EXPECT_EQ(len, 3u);  // the needed lengths, and the buffer untouched
  EXPECT_EQ(idLen, 3u);
  EXPECT_EQ(keptLen, size);
  EXPECT_EQ(out[0], 0xEE);
  EXPECT_EQ(unchanged, 7u);
}

TEST(Offline, WriteFileReplacesInOneStepWithoutFollowingLinks) {
  const fs::path dir =
      fs::temp_directory_path() / ("kxwrite_" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const auto write = [](const fs::path& path, const std::string& bytes) {
    return SE_WriteFile(path.c_str(), Unterminated(bytes).data(),
                        static_cast<int>(bytes.size()));
  };
  const fs::path file = dir / "auth.txt", target = dir / "target.txt";
  ASSERT_EQ(write(file, "a longer first text"), 0u);
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_EQ(write(file, "short"), 0u);
  EXPECT_EQ(Read(file), "short");
  EXPECT_EQ(fs::status(file).permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
  // A link is replaced itself; what it pointed at stays.
  std::ofstream(target) << "keep";
  fs::create_symlink(target, dir / "link.txt");
  ASSERT_EQ(write(dir / "link.txt", "new"), 0u);
  EXPECT_FALSE(fs::is_symlink(dir / "link.txt"));
  EXPECT_EQ(Read(target), "keep");
  fx::TestLog::Watch();
  EXPECT_EQ(write(dir / "missing" / "auth.txt", "x"), 5005u);
  EXPECT_EQ(write(dir, "x"), 5005u);
  EXPECT_TRUE(
      fx::TestLog::Has("SE_WriteFile-->0000138d --  FileName not open"));
  // A write that fails part way (a file size limit, in a child process so
  // that the limit spares the test's log) leaves the old file.
  const pid_t pid = fork();
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const struct rlimit limit = {100, 100};
    setrlimit(RLIMIT_FSIZE, &limit);
    _exit(write(file, std::string(1000, 'x')) == 5006 ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(Read(file), "short");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 3)
      << "no temporary file stays behind";
  fs::remove_all(dir);
}

}  // namespace
