// The folder of the software key device: safe access to its plain files,
// shared by the driver and the provisioning library.
//
// Every path below the root ($SKFSOFT_DIR) is reached one folder at a time
// with O_NOFOLLOW and files are opened the same way, so a symbolic link
// inside a device is never followed, neither to read nor to write. Writes
// happen only under the device's lock (a flock on <device>/.lock) and replace a
// file atomically: the bytes go to a temporary file in the same folder, which
// is synced and then renamed over the name. Names that begin with '.' are ours
// (the lock, temporary files) and are never listed.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace skfsoft {

// The names of the layout (store.h shows it whole).
inline const char kDeviceIni[] = "device.ini";
inline const char kAppIni[] = "app.ini";
inline const char kFilesFolder[] = "files";
inline const char kContainersFolder[] = "containers";
inline const char kContainerIni[] = "container.ini";
inline const char kSignCert[] = "sign.cer";
inline const char kSignKey[] = "sign.key";
inline const char kEncCert[] = "enc.cer";
inline const char kEncKey[] = "enc.key";
// Retry counter of a PIN when app.ini gives none.
constexpr unsigned long kDefaultMaxRetries = 10;

// The largest file of a device the driver reads or writes.
constexpr size_t kMaxFileSize = 16u << 20;
// Longest names: SKF file names fill FILEATTRIBUTE.FileName (32 bytes);
// devices, applications and containers take up to 64 bytes.
constexpr size_t kMaxFileNameLength = 32;
constexpr size_t kMaxNameLength = 64;

// A name usable as one folder or file: 1..maxLength bytes, no '/', no
// control character, not beginning with '.'.
bool ValidName(const std::string& name, size_t maxLength);

// An open file descriptor, closed with the object.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd();
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Opens the folder `path`; `components` are then opened one below the other
// without following symbolic links. With `create`, missing folders are made
// (mode 0700; the root with its parents). Invalid on failure, errno kept.
Fd OpenFolder(const std::string& path,
              const std::vector<std::string>& components, bool create);

enum class ReadStatus { kOk, kMissing, kFailed };
// The whole regular file `name` of folder `dir`, at most kMaxFileSize bytes.
ReadStatus ReadFileAt(int dir, const std::string& name, std::string* bytes);
// The size of the regular file `name` of folder `dir`.
ReadStatus FileSizeAt(int dir, const std::string& name, size_t* size);
// Whether `name` in `dir` is a folder (not a symbolic link) or a regular file.
bool IsFolderAt(int dir, const std::string& name);
bool IsFileAt(int dir, const std::string& name);

// Names in `dir`, in bytewise order, without the ones that begin with '.':
// the folders (never symbolic links) that hold a regular file `marker`, or,
// with an empty marker, every folder.
std::vector<std::string> ListFolders(int dir, const std::string& marker);
// The regular files of `dir` whose names are valid SKF file names.
std::vector<std::string> ListFiles(int dir);

// The exclusive lock of one device, held by the process (and thread) that
// took it until the object goes. Separate opens exclude each other, threads
// of one process included.
class DeviceLock {
 public:
  DeviceLock() = default;
  bool Acquire(int deviceDir);
  bool held() const { return fd_.valid(); }

 private:
  Fd fd_;
};

// Replaces (or creates) `name` in `dir` with `bytes` atomically, mode 0600.
// Needs the device lock; temporary files left by a writer that died are
// removed on the way.
bool WriteFileAtomic(const DeviceLock& lock, int dir, const std::string& name,
                     const std::string& bytes);
// Removes the file `name` of `dir` (a symbolic link itself, never its
// target). True when it is gone, also when it was not there.
bool RemoveFileAt(const DeviceLock& lock, int dir, const std::string& name);
// Removes the folder `name` of `dir` with all it holds: it is first renamed
// away in one step, so that readers see it whole or not at all.
bool RemoveFolderAt(const DeviceLock& lock, int dir, const std::string& name);
// Puts the folder `staged` of `dir` in place of `name` in one step (the old
// folder, if any, is removed afterwards).
bool ReplaceFolderAt(const DeviceLock& lock, int dir, const std::string& staged,
                     const std::string& name);
// A new empty folder in `dir` with a name of our own, for ReplaceFolderAt.
bool MakeStagingFolder(const DeviceLock& lock, int dir, std::string* name);

// INI text as the device files write it: "key=value" lines; blank lines,
// lines starting with '#' or ';' and "[section]" headers are ignored; blanks
// around keys and values are trimmed. A repeated key: the last one counts.
class IniText {
 public:
  explicit IniText(std::string text = std::string());
  bool Has(const std::string& key) const;
  std::string Get(const std::string& key,
                  const std::string& otherwise = std::string()) const;
  // A decimal number in 0..4294967295, `otherwise` when absent or not one.
  unsigned long GetNumber(const std::string& key,
                          unsigned long otherwise) const;
  // Sets one key: its last line is rewritten, or a line is added; every other
  // line is kept as it was.
  void Set(const std::string& key, const std::string& value);
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// "0a1B" -> bytes; false for an odd count or a character that is not hex.
bool DecodeHex(const std::string& hex, std::string* bytes);
std::string EncodeHex(const std::string& bytes);

}  // namespace skfsoft
