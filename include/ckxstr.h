// ckxstr: the byte-string class of libKXCommon. Length-counted bytes (zero
// bytes allowed) always followed by a terminator; up to 21 bytes live inside
// the object, longer contents in a malloc'd buffer; a caller's buffer can be
// wrapped without copying. The low 4 bits of the flags carry an encoding tag.
// No operation throws: failures are reported as false.
#pragma once

#ifndef __cplusplus
#error "ckxstr.h is a C++ header"
#endif

#include <cstdarg>
#include <cstdint>

#include "kx_export.h"

class KX_EXPORT ckxstr {
 public:
  // Encoding tags.
  enum : int {
    kBytes = 0,    // plain bytes or ASCII
    kMbcs = 1,     // GBK (code page 936)
    kUnicode = 2,  // 32-bit code units, native order
    kUtf8 = 3,     // UTF-8 (one- and three-byte forms)
    kUnicodeBE = 4 // wide text with a big-endian byte-order mark
  };
  static const uint32_t npos = 0xFFFFFFFFu;
  static const uint32_t kMaxLength = 1073741824u;  // 1 GiB
  static const uint32_t kInlineCapacity = 21;

  ckxstr();
  ckxstr(const ckxstr& other);
  ckxstr(ckxstr&& other) noexcept;
  ckxstr& operator=(const ckxstr& other);
  ckxstr& operator=(ckxstr&& other) noexcept;
  ~ckxstr();

  // Storage and access. capacity() is 21 inline, else the usable bytes of
  // the external buffer (its terminator slot excluded). Buffers allocated here
  // come from malloc, sized to the smallest multiple of 32 above the request.
  // assign(..., attach=true) wraps the caller's memory without owning it;
  // with noRoom the capacity is 0, so the next edit copies the bytes out and
  // the caller's memory is never written. With room the capacity is the
  // wrapped length: edits that fit are made in place, and nothing is ever
  // written past those bytes, not even a terminator. Copies duplicate owned
  // buffers and share wrapped ones. The bytes of a wrapped buffer are
  // terminated only if the caller's memory is; read them through length().
  const char* c_str() const;
  char* data();
  uint32_t length() const { return length_; }
  bool empty() const { return length_ == 0; }
  uint32_t capacity() const;
  int tag() const { return flags_ & 0x0F; }
  void setTag(int tag);
  bool isExternal() const { return external_ != 0; }
  void swap(ckxstr& other) noexcept;
  void clear();
  bool reserve(uint32_t n, bool keep);
  bool resize(uint32_t n, bool keep);
  bool assign(const void* ptr, uint32_t len, bool attach = false,
              bool noRoom = false, int tag = kBytes);
  bool append(const void* ptr, uint32_t len);
  bool append(const ckxstr& other);
  bool insert(int pos, const void* ptr, uint32_t len);
  bool push_back(char byte);
  ckxstr substr(int pos, uint32_t count) const;

  // Search and edit. A negative position p means length + p + 1 (-1 is the
  // end), floored at 0; positions are clamped to the length. Searches return
  // npos when nothing matches; an empty needle matches nothing. replaceAll
  // and eraseAll take matches right to left without overlap and succeed when
  // nothing matches. compare() gives -1, 0 or 1.
  uint32_t find(int pos, const void* needle, uint32_t len,
                bool ignoreCase = false) const;
  uint32_t rfind(int pos, const void* needle, uint32_t len,
                 bool ignoreCase = false) const;
  bool replace(int pos, uint32_t count, const void* ptr, uint32_t len);
  bool replace(int pos, const void* needle, uint32_t nlen, const void* repl,
               uint32_t rlen, bool ignoreCase = false);
  bool rreplace(int pos, const void* needle, uint32_t nlen, const void* repl,
                uint32_t rlen, bool ignoreCase = false);
  bool replaceAll(const void* needle, uint32_t nlen, const void* repl,
                  uint32_t rlen, bool ignoreCase = false);
  bool erase(int pos, uint32_t count);
  bool erase(int pos, const void* needle, uint32_t len, bool ignoreCase);
  bool rerase(int pos, const void* needle, uint32_t len, bool ignoreCase);
  bool eraseAll(const void* needle, uint32_t len, bool ignoreCase = false);
  int compare(int pos, const void* ptr, uint32_t len,
              bool ignoreCase = false) const;
  int compare(const ckxstr& other) const;
  bool operator<(const ckxstr& other) const { return compare(other) < 0; }
  bool operator==(const ckxstr& other) const { return compare(other) == 0; }

  // Whole-content transforms, in place; on false the content is unchanged.
  // format/formatAppend produce at most 8191 bytes per call.
  bool toLower();
  bool toUpper();
  bool toReverse();
  bool toTrim();
  bool hexToStr(bool upper);
  bool strToHex();
  bool base64Encode(const char* separator);
  bool base64Decode();
  bool dumpBin();
  bool readfile(const char* path);
  bool writefile(const char* path, bool append) const;
  bool format(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  bool format(const char* fmt, va_list args);
  bool formatAppend(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  bool formatAppend(const char* fmt, va_list args);

  // Encoding conversions, in place: GBK <-> wide (32-bit code points) <->
  // UTF-8. The six converters leave tag 0; toMbcs/toUtf8/toUnicode convert
  // from the current tag (1, 2 or 3) and set the target tag. Invalid or
  // unrepresentable input gives false and leaves the content unchanged.
  bool mbcsToUnicode();
  bool mbcsToUtf8();
  bool unicodeToMbcs();
  bool unicodeToUtf8();
  bool utf8ToMbcs();
  bool utf8ToUnicode();
  int autoType();
  bool toMbcs();
  bool toUtf8();
  bool toUnicode();
  bool toLocal(int tag);

 private:
  union {
    struct {
      char* data;
      char* end;
    } ext_;
    char inline_[22];
  };
  uint8_t flags_;     // low 4 bits: tag; bit 4: buffer owned by this object
  uint8_t external_;  // 0 inline, 1 external buffer
  uint32_t length_;
};
