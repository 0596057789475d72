// Offline authorization files: checking that a text still grants a period of
// seal use, pruning the records whose period does not hold now, reading the
// seal identifier, and writing a file in one step.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "KXError.h"
#include "KXLog.h"
#include "KXTime.h"
#include "SealServices.h"
#include "foundation/export_boundary.h"

namespace {

// Logs `format` with the code as its only argument and returns the code.
#define KX_FAIL(function, format, code)                     \
  (KXLog(KX_LOG_ERROR, function, __LINE__, format, (code)), \
   static_cast<uint32_t>(code))

const char kCheckFn[] = "SE_CheckTimeValid";
const std::string_view kBeginKey = "time_begin =";
const std::string_view kEndKey = "time_end =";
const std::string_view kIdKey = "es_id=";
// A time value is held in a field of 32 bytes: at most 31 characters. A
// longer one is not cut into another time; it counts as unparsable.
const size_t kMaxTimeValue = 31;

// The caller's text: up to its first NUL, never past `textLen`.
std::string_view TextOf(const unsigned char* text, uint32_t textLen) {
  const char* chars = reinterpret_cast<const char*>(text);
  return std::string_view(chars, strnlen(chars, textLen));
}

// A value runs from `at` to the first "\r", "\n" or the end of the text.
std::string_view ValueAt(std::string_view text, size_t at) {
  const size_t end = text.find_first_of("\r\n", at);
  return text.substr(at,
                     (end == std::string_view::npos ? text.size() : end) - at);
}

// Past the line end that is there at `at`: "\r\n", "\n", "\r" or none.
size_t PastLineEnd(std::string_view text, size_t at) {
  if (at < text.size() && text[at] == '\r') ++at;
  if (at < text.size() && text[at] == '\n') ++at;
  return at;
}

// Milliseconds since 1970, or -1 for a value that does not parse or does not
// fit its field. "YYYY-MM-DD hh:mm:ss" is local time.
long ParseTime(std::string_view value) {
  if (value.size() > kMaxTimeValue) return -1;
  char field[kMaxTimeValue + 1];
  std::memcpy(field, value.data(), value.size());
  field[value.size()] = '\0';
  return KXStrToTime(field, static_cast<int>(value.size()), false);
}

// SE_CheckTimeValid on values already cut at their line ends; null means no
// such bound. Both bounds are inclusive; now is taken in whole seconds.
int CheckTimeValid(const std::string_view* begin, const std::string_view* end) {
  if (begin == nullptr && end == nullptr) {
    KX_LOG_ERR(kCheckFn,
               "SE_CheckTimeValid-->%d -- both no begintime and  endtime error",
               KX_ERR_INVALID_INPUT);
    return 0;
  }
  const long now = KXGetTime(false);
  if (begin != nullptr && now < ParseTime(*begin)) {
    KX_LOG_ERR(kCheckFn, "SE_CheckTimeValid-->%d -- off line time not begin",
               KX_ERR_TIME_PERIOD);
    return 0;
  }
  if (end == nullptr || now <= ParseTime(*end)) return 1;
  KX_LOG_ERR(kCheckFn, "SE_CheckTimeValid-->%d -- off line time expired",
             KX_ERR_TIME_PERIOD);
  return 0;
}

// A caller's value: up to its first "\r", "\n" or NUL, but no further than
// one character past what its field holds (enough to tell that it is too
// long).
std::string_view ValueOf(const char* value) {
  size_t n = 0;
  while (n <= kMaxTimeValue && value[n] != '\0' && value[n] != '\r' &&
         value[n] != '\n')
    ++n;
  return std::string_view(value, n);
}

// One record of the text: where the next one starts, and its two time values.
struct Record {
  size_t next = 0;
  std::string_view begin;
  std::string_view end;
};

enum class Scan { kRecord, kNoBegin, kNoEnd };

// The record that starts at `start`. Both keys are searched from the
// record's start; the record ends after the line end of its "time_end ="
// value, whichever line end the file uses.
Scan ReadRecord(std::string_view text, size_t start, Record* record) {
  const size_t begin = text.find(kBeginKey, start);
  if (begin == std::string_view::npos) return Scan::kNoBegin;
  const size_t end = text.find(kEndKey, start);
  if (end == std::string_view::npos) return Scan::kNoEnd;
  record->begin = ValueAt(text, begin + kBeginKey.size());
  record->end = ValueAt(text, end + kEndKey.size());
  const size_t valueEnd = end + kEndKey.size() + record->end.size();
  record->next = PastLineEnd(text, valueEnd);
  return Scan::kRecord;
}

// A file that names its seal once, at the top, has that "es_id=" line in its
// first record. When that record is dropped and no kept record names the
// seal, the line (with its line end) goes in front of the kept records, so
// that the pruned file still says which seal it authorizes. Nothing kept
// stays nothing: an identifier alone is no record.
void KeepSealId(std::string_view text, std::string* kept) {
  if (kept->empty() || kept->find(kIdKey) != std::string::npos) return;
  const size_t key = text.find(kIdKey);
  if (key == std::string_view::npos) return;
  const size_t valueEnd =
      key + kIdKey.size() + ValueAt(text, key + kIdKey.size()).size();
  const size_t lineEnd = PastLineEnd(text, valueEnd);
  if (lineEnd == valueEnd) return;  // no line end: not a line of its own
  kept->insert(0, text.substr(key, lineEnd - key));
}

uint32_t VerifyOfflineTime(const unsigned char* text, uint32_t textLen) {
  static const char kFn[] = "SE_Verify_Offline_Time";
  if (text == nullptr)
    return KX_FAIL(kFn, "SE_Verify_Offline_Time-->%d -- arguments error",
                   KX_ERR_INVALID_INPUT);
  const std::string_view all = TextOf(text, textLen);
  for (size_t at = 0; at < all.size();) {
    Record record;
    switch (ReadRecord(all, at, &record)) {
      case Scan::kNoBegin:
        return KX_FAIL(kFn,
                       "SE_Verify_Offline_Time-->%d -- not find start time, "
                       "offline authfile error",
                       KX_ERR_INVALID_INPUT);
      case Scan::kNoEnd:
        return KX_FAIL(kFn,
                       "SE_Verify_Offline_Time-->%d -- not find end time, "
                       "offline authfile error",
                       KX_ERR_INVALID_INPUT);
      case Scan::kRecord:
        break;
    }
    KX_LOG(KX_LOG_DEBUG, kFn, "CBEGIN is %.*s,CENDT is %.*s",
           static_cast<int>(record.begin.size()), record.begin.data(),
           static_cast<int>(record.end.size()), record.end.data());
    // Only the end is checked: a period that has not begun yet still counts.
    if (CheckTimeValid(nullptr, &record.end) == 1) return 0;
    at = record.next;
  }
  return KX_FAIL(kFn,
                 "SE_Verify_Offline_Time-->%d -- off line time not in valid "
                 "period",
                 KX_ERR_TIME_PERIOD);
}

}  // namespace

int SE_CheckTimeValid(const char* begin, const char* end) {
  const std::string_view beginValue =
      begin ? ValueOf(begin) : std::string_view();
  const std::string_view endValue = end ? ValueOf(end) : std::string_view();
  return CheckTimeValid(begin ? &beginValue : nullptr,
                        end ? &endValue : nullptr);
}

uint32_t SE_Verify_Offline_Time(const unsigned char* text, uint32_t textLen) {
  return VerifyOfflineTime(text, textLen);
}

extern "C" uint32_t SEBF_CheckTime_OffAuthFile(const unsigned char* text,
                                               uint32_t textLen) {
  return VerifyOfflineTime(text, textLen);
}

uint32_t SE_Del_InvalidTime_Offline_AuthFile(const unsigned char* text,
                                             uint32_t textLen,
                                             unsigned char* out,
                                             uint32_t* outLen) {
  static const char kFn[] = "SE_Del_InvalidTime_Offline_AuthFile";
  static const kx::ExportFailure kFailure{
      kFn, "SE_Del_InvalidTime_Offline_AuthFile-->%d -- memory error",
      "SE_Del_InvalidTime_Offline_AuthFile-->%d -- error"};
  if (text == nullptr || outLen == nullptr)
    return KX_FAIL(
        kFn, "SE_Del_InvalidTime_Offline_AuthFile-->%d -- arguments error",
        KX_ERR_INVALID_INPUT);
  return kx::GuardCode(kFailure, [&]() -> uint32_t {
    const std::string_view all = TextOf(text, textLen);
    std::string kept;
    for (size_t at = 0; at < all.size();) {
      Record record;
      if (ReadRecord(all, at, &record) != Scan::kRecord)
        return KX_FAIL(kFn,
                       "SE_Del_InvalidTime_Offline_AuthFile-->%d -- not find "
                       "end time, offline authfile error",
                       KX_ERR_INVALID_INPUT);
      if (CheckTimeValid(&record.begin, &record.end) == 1)
        kept.append(all.substr(at, record.next - at));
      at = record.next;
    }
    KeepSealId(all, &kept);
    const uint32_t rc = kx::DeliverOutput(
        kept.data(), static_cast<uint32_t>(kept.size()), out, outLen);
    if (rc == KX_ERR_INVALID_LENGTH)
      return KX_FAIL(kFn,
                     "SE_Del_InvalidTime_Offline_AuthFile-->%d -- newfile "
                     "buffer too small",
                     KX_ERR_INVALID_LENGTH);
    return rc;
  });
}

uint32_t SE_Get_Offline_ID(const unsigned char* text, uint32_t textLen,
                           unsigned char* out, uint32_t* outLen) {
  static const char kFn[] = "SE_Get_Offline_ID";
  if (text == nullptr || outLen == nullptr)
    return KX_FAIL(kFn, "SE_Verify_Offline_AuthFile-->%d -- arguments error",
                   KX_ERR_INVALID_INPUT);
  const std::string_view all = TextOf(text, textLen);
  const size_t key = all.find(kIdKey);
  if (key == std::string_view::npos)
    return KX_FAIL(kFn,
                   "SE_Verify_Offline_AuthFile-->%d -- not find eseal ID, "
                   "offline authfile error",
                   KX_ERR_INVALID_INPUT);
  const std::string_view id = ValueAt(all, key + kIdKey.size());
  const uint32_t rc = kx::DeliverOutput(
      id.data(), static_cast<uint32_t>(id.size()), out, outLen);
  if (rc == KX_ERR_INVALID_LENGTH)
    return KX_FAIL(
        kFn, "SE_Verify_Offline_AuthFile-->%d -- esealID buffer too small",
        KX_ERR_INVALID_LENGTH);
  return rc;
}

namespace {

// An open file descriptor, closed with the object.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now; false when close reports an error (a delayed write error).
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return close(fd) == 0;
  }

 private:
  int fd_;
};

bool WriteAll(int fd, const unsigned char* data, size_t length) {
  size_t done = 0;
  while (done < length) {
    const ssize_t n = write(fd, data + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Creates a new file beside `path` (its name is `path` with a suffix, so it
// lies in the same folder and the rename stays within one file system).
// O_EXCL refuses any existing name, a symbolic link too. The file is made
// with `mode` (less the umask); -1 when no name could be created.
int CreateBeside(const std::string& path, mode_t mode, std::string* created) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    *created = path + ".tmp" + std::to_string(getpid()) + "." +
               std::to_string(counter.fetch_add(1));
    const int fd =
        open(created->c_str(),
             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

uint32_t WriteFile(const char* path, const unsigned char* data, int length) {
  static const char kFn[] = "SE_WriteFile";
  struct stat st;
  const bool exists = lstat(path, &st) == 0;
  if (exists && S_ISDIR(st.st_mode))
    return KX_FAIL(kFn, "SE_WriteFile-->%08x --  FileName not open",
                   KX_ERR_OPEN_FILE);
  // A replaced regular file keeps its permission bits; the new one is made
  // readable by its owner only until then, so that no one reads the bytes
  // of a file meant to be private while they are written.
  const bool keepMode = exists && S_ISREG(st.st_mode);
  std::string created;
  Fd fd(CreateBeside(path, keepMode ? S_IRUSR | S_IWUSR : 0666, &created));
  if (fd.get() < 0)
    return KX_FAIL(kFn, "SE_WriteFile-->%08x --  FileName not open",
                   KX_ERR_OPEN_FILE);
  // The bytes reach the disk before the name points at them.
  const bool written =
      WriteAll(fd.get(), data, static_cast<size_t>(length)) &&
      (!keepMode || fchmod(fd.get(), st.st_mode & 0777) == 0) &&
      fsync(fd.get()) == 0;
  if (!fd.Close() || !written || rename(created.c_str(), path) != 0) {
    unlink(created.c_str());
    return KX_FAIL(kFn, "SE_WriteFile-->%08x --  write file error",
                   KX_ERR_WRITE_FILE);
  }
  return 0;
}

}  // namespace

uint32_t SE_WriteFile(const char* path, const unsigned char* data, int length) {
  static const char kFn[] = "SE_WriteFile";
  static const kx::ExportFailure kFailure{kFn,
                                          "SE_WriteFile-->%08x -- memory error",
                                          "SE_WriteFile-->%08x -- error"};
  if (path == nullptr || length < 0 || (data == nullptr && length != 0))
    return KX_FAIL(kFn, "SE_WriteFile-->%08x -- arguments error",
                   KX_ERR_INVALID_INPUT);
  return kx::GuardCode(
      kFailure, [&]() -> uint32_t { return WriteFile(path, data, length); });
}
