// Buffer wrappers around the in-place ckxstr operations, the formatter, and
// whole-file reading and writing.
#include "KXString.h"

#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "KXError.h"
#include "KXLog.h"

namespace {

// Byte length of a wrapper's input: a negative length means up to the
// terminating zero, counted in units of unitSize bytes. False when the input
// is unusable (null with a length, or longer than a ckxstr may be).
bool InputBytes(const void* p, long long len, size_t unitSize,
                uint32_t* bytes) {
  if (p == nullptr) {
    if (len != 0) return false;
    *bytes = 0;
    return true;
  }
  unsigned long long units;
  if (len >= 0) {
    units = static_cast<unsigned long long>(len);
  } else if (unitSize == sizeof(wchar_t)) {
    units = wcslen(static_cast<const wchar_t*>(p));
  } else {
    units = strlen(static_cast<const char*>(p));
  }
  const unsigned long long total = units * unitSize;
  if (total > ckxstr::kMaxLength) return false;
  *bytes = static_cast<uint32_t>(total);
  return true;
}

// Wraps the caller's bytes without copying and without room (the operation
// copies them out before changing them), runs op, and returns the result as
// a string that owns its bytes. Failure: empty result, last error 5002.
template <class Op>
ckxstr Wrap(const void* p, long long len, size_t unitSize, int tag, Op op) {
  uint32_t bytes = 0;
  ckxstr str;
  if (InputBytes(p, len, unitSize, &bytes) &&
      str.assign(p, bytes, true, true, tag) && op(str) &&
      // An operation that left the bytes as they were still wraps the
      // caller's memory; a returned value must own its content.
      str.resize(str.length(), true)) {
    return str;
  }
  KXSetLastError(KX_ERR_INVALID_INPUT);
  return ckxstr();
}

}  // namespace

ckxstr KXBase64Encode(const void* data, int len, const char* separator) {
  return Wrap(data, len, 1, ckxstr::kUtf8,
              [separator](ckxstr& s) { return s.base64Encode(separator); });
}

ckxstr KXBase64Decode(const char* text, int len) {
  return Wrap(text, len, 1, ckxstr::kUtf8,
              [](ckxstr& s) { return s.base64Decode(); });
}

ckxstr KXStrToHex(const char* text, int len) {
  return Wrap(text, len, 1, ckxstr::kUtf8,
              [](ckxstr& s) { return s.strToHex(); });
}

ckxstr KXHexToStr(const void* data, unsigned int len) {
  return Wrap(data, static_cast<long long>(len), 1, ckxstr::kUtf8,
              [](ckxstr& s) { return s.hexToStr(false); });
}

ckxstr KXMbcsToUnicode(const char* text, int len) {
  return Wrap(text, len, 1, ckxstr::kMbcs,
              [](ckxstr& s) { return s.mbcsToUnicode(); });
}

ckxstr KXMbcsToUtf8(const char* text, int len) {
  return Wrap(text, len, 1, ckxstr::kMbcs,
              [](ckxstr& s) { return s.mbcsToUtf8(); });
}

ckxstr KXUnicodeToMbcs(const wchar_t* wide, int len) {
  return Wrap(wide, len, sizeof(wchar_t), ckxstr::kUnicode,
              [](ckxstr& s) { return s.unicodeToMbcs(); });
}

ckxstr KXUnicodeToUtf8(const wchar_t* wide, int len) {
  return Wrap(wide, len, sizeof(wchar_t), ckxstr::kUnicode,
              [](ckxstr& s) { return s.unicodeToUtf8(); });
}

ckxstr KXUtf8ToMbcs(const char* text, int len) {
  return Wrap(text, len, 1, ckxstr::kUtf8,
              [](ckxstr& s) { return s.utf8ToMbcs(); });
}

ckxstr KXUtf8ToUnicode(const char* text, int len) {
  return Wrap(text, len, 1, ckxstr::kUtf8,
              [](ckxstr& s) { return s.utf8ToUnicode(); });
}

ckxstr KXStrToLower(const char* text, int len) {
  return Wrap(text, len, 1, ckxstr::kUtf8,
              [](ckxstr& s) { return s.toLower(); });
}

ckxstr KXStrToUpper(const char* text, int len) {
  return Wrap(text, len, 1, ckxstr::kUtf8,
              [](ckxstr& s) { return s.toUpper(); });
}

ckxstr KXStrToReverse(const char* text, int len) {
  return Wrap(text, len, 1, ckxstr::kUtf8,
              [](ckxstr& s) { return s.toReverse(); });
}

ckxstr KXStrToTrim(const char* text, int len) {
  return Wrap(text, len, 1, ckxstr::kUtf8,
              [](ckxstr& s) { return s.toTrim(); });
}

ckxstr KXStrFormat(const char* format, ...) {
  ckxstr out;
  va_list args;
  va_start(args, format);
  bool ok = out.format(format, args);
  va_end(args);
  if (!ok) return ckxstr();
  out.setTag(ckxstr::kUtf8);
  return out;
}

ckxstr KXReadFile(const char* path) {
  if (path == nullptr) return ckxstr();
  FILE* file = fopen(path, "rb");
  if (file == nullptr) {
    KXSetLastError(KX_ERR_OPEN_FILE);
    KX_LOG_ERR("KXReadFile", "open the file \"%s\" error", path);
    return ckxstr();
  }
  // The size is taken from the open file; then the file is read to its end,
  // so that a file that grew or shrank meanwhile is noticed.
  struct stat st;
  long long size = 0;
  if (fstat(fileno(file), &st) == 0) size = st.st_size;
  if (size > static_cast<long long>(ckxstr::kMaxLength)) {
    fclose(file);
    KXSetLastError(KX_ERR_SIZE_LIMIT);
    KX_LOG_ERR("KXReadFile", "file \"%s\" length %lld to large", path, size);
    return ckxstr();
  }
  ckxstr out;
  if (!out.resize(static_cast<uint32_t>(size), false)) {
    fclose(file);
    KXSetLastError(KX_ERR_MEMORY);
    KX_LOG_ERR("KXReadFile", "file \"%s\" length %lld no memory", path, size);
    return ckxstr();
  }
  size_t got = size ? fread(out.data(), 1, static_cast<size_t>(size), file) : 0;
  bool readError = got < static_cast<size_t>(size) || ferror(file);
  // Files whose size is not known in advance (those under /proc report 0)
  // are read on to their end.
  if (!readError) {
    char chunk[4096];
    size_t more;
    while ((more = fread(chunk, 1, sizeof(chunk), file)) > 0) {
      if (static_cast<unsigned long long>(out.length()) + more >
          ckxstr::kMaxLength) {
        fclose(file);
        KXSetLastError(KX_ERR_SIZE_LIMIT);
        KX_LOG_ERR("KXReadFile", "file \"%s\" length %lld to large", path,
                   static_cast<long long>(out.length()) +
                       static_cast<long long>(more));
        return ckxstr();
      }
      if (!out.append(chunk, static_cast<uint32_t>(more))) {
        readError = true;
        break;
      }
    }
    if (ferror(file)) readError = true;
  }
  fclose(file);
  if (readError) {
    KXSetLastError(KX_ERR_READ_FILE);
    KX_LOG_ERR("KXReadFile", "file \"%s\" read length %lld error", path, size);
    return ckxstr();
  }
  return out;
}

int KXWriteFile(const char* path, const void* data, int len, bool append) {
  if (path == nullptr || data == nullptr) return KX_ERR_INVALID_INPUT;
  long long n =
      len < 0 ? static_cast<long long>(strlen(static_cast<const char*>(data)))
              : len;
  if (n > static_cast<long long>(ckxstr::kMaxLength)) {
    KXSetLastError(KX_ERR_SIZE_LIMIT);
    KX_LOG_ERR("KXWriteFile", "write file length %lld to large", n);
    return KX_ERR_SIZE_LIMIT;
  }
  FILE* file = fopen(path, append ? "ab" : "wb");
  if (file == nullptr) {
    KXSetLastError(KX_ERR_OPEN_FILE);
    KX_LOG_ERR("KXWriteFile", "open the file \"%s\" error", path);
    return KX_ERR_OPEN_FILE;
  }
  size_t written = n ? fwrite(data, 1, static_cast<size_t>(n), file) : 0;
  // A write that fails only when the buffer is flushed shows up in fclose.
  bool ok = written == static_cast<size_t>(n);
  if (fclose(file) != 0) ok = false;
  if (!ok) {
    KXSetLastError(KX_ERR_WRITE_FILE);
    KX_LOG_ERR("KXWriteFile", "file \"%s\" write length %lld error", path, n);
    return KX_ERR_WRITE_FILE;
  }
  return KX_OK;
}
