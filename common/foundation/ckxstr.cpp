// ckxstr: storage, editing, search and the whole-content transforms.
// Encoding conversions live in ckxstr_convert.cpp.
#include "ckxstr.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const uint32_t ckxstr::npos;
const uint32_t ckxstr::kMaxLength;
const uint32_t ckxstr::kInlineCapacity;

namespace {

const uint8_t kOwnedBit = 0x10;
const uint8_t kTagMask = 0x0F;

// Buffers this class allocates hold the smallest multiple of 32 bytes that is
// greater than the requested length (room for the terminator included).
size_t BufferSizeFor(uint32_t n) {
  return (static_cast<size_t>(n) / 32 + 1) * 32;
}

// Byte-wise case-insensitive comparison over exactly n bytes. Unlike
// strncasecmp it does not stop at a zero byte, so embedded zeros compare like
// any other byte.
int CaseCompare(const unsigned char* a, const unsigned char* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    int ca = tolower(a[i]);
    int cb = tolower(b[i]);
    if (ca != cb) return ca - cb;
  }
  return 0;
}

int CompareBytes(const void* a, const void* b, size_t n, bool ignoreCase) {
  if (n == 0) return 0;
  if (ignoreCase)
    return CaseCompare(static_cast<const unsigned char*>(a),
                       static_cast<const unsigned char*>(b), n);
  return memcmp(a, b, n);
}

int Sign(int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

}  // namespace

// ---------------------------------------------------------------------------
// Construction and storage

ckxstr::ckxstr() : flags_(0), external_(0), length_(0) {
  memset(inline_, 0, sizeof(inline_));
}

ckxstr::ckxstr(const ckxstr& other) : ckxstr() {
  if (other.external_ && (other.flags_ & kOwnedBit)) {
    // Our own buffer: duplicate it. On allocation failure the copy is empty.
    if (assign(other.c_str(), other.length_)) setTag(other.tag());
  } else {
    // Inline content is copied, a wrapped caller buffer is shared.
    memcpy(static_cast<void*>(this), &other, sizeof(ckxstr));
  }
}

ckxstr::ckxstr(ckxstr&& other) noexcept : ckxstr() { swap(other); }

ckxstr& ckxstr::operator=(const ckxstr& other) {
  if (this != &other) {
    ckxstr copy(other);
    swap(copy);
  }
  return *this;
}

ckxstr& ckxstr::operator=(ckxstr&& other) noexcept {
  if (this != &other) {
    clear();
    swap(other);
  }
  return *this;
}

ckxstr::~ckxstr() {
  if (external_ && (flags_ & kOwnedBit)) free(ext_.data);
}

const char* ckxstr::c_str() const { return external_ ? ext_.data : inline_; }

char* ckxstr::data() { return external_ ? ext_.data : inline_; }

uint32_t ckxstr::capacity() const {
  return external_ ? static_cast<uint32_t>(ext_.end - ext_.data)
                   : kInlineCapacity;
}

void ckxstr::setTag(int tag) {
  flags_ = static_cast<uint8_t>((flags_ & ~kTagMask) | (tag & kTagMask));
}

void ckxstr::swap(ckxstr& other) noexcept {
  if (this == &other) return;
  char tmp[sizeof(ckxstr)];
  memcpy(tmp, static_cast<void*>(this), sizeof(ckxstr));
  memcpy(static_cast<void*>(this), &other, sizeof(ckxstr));
  memcpy(static_cast<void*>(&other), tmp, sizeof(ckxstr));
}

void ckxstr::clear() {
  if (external_ && (flags_ & kOwnedBit)) free(ext_.data);
  memset(inline_, 0, sizeof(inline_));
  flags_ = 0;
  external_ = 0;
  length_ = 0;
}

namespace {

// An external buffer can take n bytes (plus terminator) in place when its
// capacity allows. A wrapped buffer without room (capacity 0) is never written
// to, not even its terminator: the caller's memory stays untouched.
bool ExternalHolds(uint32_t capacity, bool owned, uint32_t n) {
  if (!owned && capacity == 0) return false;
  return n <= capacity;
}

}  // namespace

bool ckxstr::reserve(uint32_t n, bool keep) {
  if (n > kMaxLength) return false;
  const bool owned = (flags_ & kOwnedBit) != 0;
  if (n <= kInlineCapacity) {
    if (!external_ || ExternalHolds(capacity(), owned, n)) return true;
    // Give up the external buffer; the content (cut to 21 bytes) moves inline.
    char saved[kInlineCapacity + 1];
    uint32_t keepLen = keep ? std::min(length_, kInlineCapacity) : 0;
    memcpy(saved, ext_.data, keepLen);
    if (owned) free(ext_.data);
    memset(inline_, 0, sizeof(inline_));
    memcpy(inline_, saved, keepLen);
    external_ = 0;
    flags_ &= static_cast<uint8_t>(~kOwnedBit);
    length_ = keepLen;
    return true;
  }
  if (external_ && ExternalHolds(capacity(), owned, n)) return true;
  const size_t size = BufferSizeFor(n);
  char* buffer = static_cast<char*>(malloc(size));
  if (buffer == nullptr) return false;
  // Without keep the old bytes are dropped, and the length with them, so that
  // no uninitialised byte is ever part of the content.
  uint32_t keepLen = keep ? std::min(length_, n) : 0;
  memcpy(buffer, c_str(), keepLen);
  buffer[keepLen] = '\0';
  if (external_ && owned) free(ext_.data);
  ext_.data = buffer;
  ext_.end = buffer + size - 1;
  external_ = 1;
  flags_ |= kOwnedBit;
  length_ = keepLen;
  return true;
}

bool ckxstr::resize(uint32_t n, bool keep) {
  if (!reserve(n, keep)) return false;
  length_ = n;
  // Our own buffers and the inline area always have a byte for the
  // terminator. A caller's buffer wrapped with room is exactly `capacity`
  // bytes long: it is terminated only when the content leaves a byte free.
  if (!external_ || (flags_ & kOwnedBit) || n < capacity()) data()[n] = '\0';
  return true;
}

bool ckxstr::assign(const void* ptr, uint32_t len, bool attach, bool noRoom,
                    int tag) {
  if (len > kMaxLength || (ptr == nullptr && len != 0)) return false;
  if (attach) {
    clear();
    setTag(tag);
    if (ptr == nullptr) return true;  // nothing to wrap: empty, inline
    // With room, the caller's len bytes may be edited in place; there is no
    // byte for a terminator behind them (see resize).
    ext_.data = static_cast<char*>(const_cast<void*>(ptr));
    ext_.end = ext_.data + (noRoom ? 0 : len);
    external_ = 1;
    length_ = len;
    return true;
  }
  const char* src = static_cast<const char*>(ptr);
  const char* own = c_str();
  if (len != 0 && src + len > own && src < own + length_) {
    // The source lies in our own storage, which resize may move or free.
    ckxstr copy;
    if (!copy.assign(ptr, len)) return false;
    copy.setTag(tag);
    swap(copy);
    return true;
  }
  if (!resize(len, false)) return false;
  if (len != 0) memcpy(data(), src, len);
  setTag(tag);
  return true;
}

bool ckxstr::append(const void* ptr, uint32_t len) {
  return insert(-1, ptr, len);
}

bool ckxstr::append(const ckxstr& other) {
  return insert(-1, other.c_str(), other.length_);
}

bool ckxstr::insert(int pos, const void* ptr, uint32_t len) {
  return replace(pos, 0, ptr, len);
}

bool ckxstr::push_back(char byte) { return insert(-1, &byte, 1); }

// A negative position p stands for length + p + 1 (floored at 0); every
// position is then clamped to the length.
static uint32_t NormalisePos(int pos, uint32_t length) {
  long long p = pos;
  if (p < 0) p = static_cast<long long>(length) + p + 1;
  if (p < 0) p = 0;
  if (p > static_cast<long long>(length)) p = length;
  return static_cast<uint32_t>(p);
}

ckxstr ckxstr::substr(int pos, uint32_t count) const {
  ckxstr out;
  uint32_t p = NormalisePos(pos, length_);
  uint32_t n = std::min(count, length_ - p);
  if (out.assign(c_str() + p, n)) out.setTag(kUtf8);
  return out;
}

// ---------------------------------------------------------------------------
// Search and edit

uint32_t ckxstr::find(int pos, const void* needle, uint32_t len,
                      bool ignoreCase) const {
  // An empty needle matches nothing: otherwise every position would match and
  // replaceAll/eraseAll could not make progress.
  if (needle == nullptr || len == 0 || len > length_) return npos;
  const char* text = c_str();
  uint32_t start = NormalisePos(pos, length_);
  if (!ignoreCase) {
    if (start > length_ - len) return npos;
    const void* hit = memmem(text + start, length_ - start, needle, len);
    return hit ? static_cast<uint32_t>(static_cast<const char*>(hit) - text)
               : npos;
  }
  for (uint32_t i = start; i <= length_ - len; ++i) {
    if (CompareBytes(text + i, needle, len, true) == 0) return i;
  }
  return npos;
}

uint32_t ckxstr::rfind(int pos, const void* needle, uint32_t len,
                       bool ignoreCase) const {
  if (needle == nullptr || len == 0 || len > length_) return npos;
  const char* text = c_str();
  uint32_t start = std::min(NormalisePos(pos, length_), length_ - len);
  for (long long i = start; i >= 0; --i) {
    if (CompareBytes(text + i, needle, len, ignoreCase) == 0)
      return static_cast<uint32_t>(i);
  }
  return npos;
}

bool ckxstr::replace(int pos, uint32_t count, const void* ptr, uint32_t len) {
  if (ptr == nullptr && len != 0) return false;
  const uint32_t p = NormalisePos(pos, length_);
  count = std::min(count, length_ - p);
  const unsigned long long newLen =
      static_cast<unsigned long long>(length_) - count + len;
  if (newLen > kMaxLength) return false;
  const char* src = static_cast<const char*>(ptr);
  const char* own = c_str();
  if (len != 0 && src + len > own && src < own + length_) {
    // The new bytes come from our own content: take a copy first, since the
    // tail move and a reallocation would overwrite or free them.
    ckxstr copy;
    if (!copy.assign(ptr, len)) return false;
    return replace(static_cast<int>(p), count, copy.c_str(), len);
  }
  const uint32_t oldLen = length_;
  const uint32_t tail = oldLen - p - count;
  if (len > count) {
    if (!resize(static_cast<uint32_t>(newLen), true)) return false;
    char* d = data();
    memmove(d + p + len, d + p + count, tail);
    memcpy(d + p, src, len);
    return true;
  }
  // Shrinking or same size: make the content our own, edit, then cut.
  if (!resize(oldLen, true)) return false;
  char* d = data();
  if (len != 0) memcpy(d + p, src, len);
  memmove(d + p + len, d + p + count, tail);
  return resize(static_cast<uint32_t>(newLen), true);
}

bool ckxstr::replace(int pos, const void* needle, uint32_t nlen,
                     const void* repl, uint32_t rlen, bool ignoreCase) {
  uint32_t at = find(pos, needle, nlen, ignoreCase);
  if (at == npos) return false;
  return replace(static_cast<int>(at), nlen, repl, rlen);
}

bool ckxstr::rreplace(int pos, const void* needle, uint32_t nlen,
                      const void* repl, uint32_t rlen, bool ignoreCase) {
  uint32_t at = rfind(pos, needle, nlen, ignoreCase);
  if (at == npos) return false;
  return replace(static_cast<int>(at), nlen, repl, rlen);
}

bool ckxstr::replaceAll(const void* needle, uint32_t nlen, const void* repl,
                        uint32_t rlen, bool ignoreCase) {
  if (needle == nullptr || nlen == 0 || (repl == nullptr && rlen != 0))
    return false;
  if (nlen > length_) return true;  // nothing can match
  const char* text = c_str();
  // Matches are taken right to left; after a match the scan goes on just
  // before it, so no two matches overlap. Positions are collected first (in
  // descending order) and the result is built in one pass.
  uint32_t* hits = nullptr;
  size_t count = 0, room = 0;
  for (long long i = static_cast<long long>(length_) - nlen; i >= 0;) {
    if (CompareBytes(text + i, needle, nlen, ignoreCase) == 0) {
      if (count == room) {
        room = room ? room * 2 : 16;
        void* grown = realloc(hits, room * sizeof(uint32_t));
        if (grown == nullptr) {
          free(hits);
          return false;
        }
        hits = static_cast<uint32_t*>(grown);
      }
      hits[count++] = static_cast<uint32_t>(i);
      i -= nlen;
    } else {
      --i;
    }
  }
  if (count == 0) return true;
  const long long newLen = static_cast<long long>(length_) -
                           static_cast<long long>(count) * nlen +
                           static_cast<long long>(count) * rlen;
  bool ok = newLen <= static_cast<long long>(kMaxLength);
  ckxstr out;
  if (ok) ok = out.resize(static_cast<uint32_t>(newLen), false);
  if (ok) {
    char* d = out.data();
    uint32_t from = 0;
    for (size_t k = count; k-- > 0;) {
      uint32_t at = hits[k];
      memcpy(d, text + from, at - from);
      d += at - from;
      if (rlen != 0) memcpy(d, repl, rlen);
      d += rlen;
      from = at + nlen;
    }
    memcpy(d, text + from, length_ - from);
    out.setTag(tag());
    swap(out);
  }
  free(hits);
  return ok;
}

bool ckxstr::erase(int pos, uint32_t count) {
  return replace(pos, count, "", 0);
}

bool ckxstr::erase(int pos, const void* needle, uint32_t len, bool ignoreCase) {
  return replace(pos, needle, len, "", 0, ignoreCase);
}

bool ckxstr::rerase(int pos, const void* needle, uint32_t len,
                    bool ignoreCase) {
  return rreplace(pos, needle, len, "", 0, ignoreCase);
}

bool ckxstr::eraseAll(const void* needle, uint32_t len, bool ignoreCase) {
  return replaceAll(needle, len, "", 0, ignoreCase);
}

int ckxstr::compare(int pos, const void* ptr, uint32_t len,
                    bool ignoreCase) const {
  if (ptr == nullptr) len = 0;
  const uint32_t p = NormalisePos(pos, length_);
  const uint32_t avail = length_ - p;
  const uint32_t n = std::min(avail, len);
  int cmp = CompareBytes(c_str() + p, ptr, n, ignoreCase);
  if (cmp != 0) return Sign(cmp);
  if (avail == len) return 0;
  return avail > len ? 1 : -1;
}

int ckxstr::compare(const ckxstr& other) const {
  const uint32_t n = std::min(length_, other.length_);
  int cmp = CompareBytes(c_str(), other.c_str(), n, false);
  if (cmp != 0) return Sign(cmp);
  if (length_ == other.length_) return 0;
  return length_ > other.length_ ? 1 : -1;
}

// ---------------------------------------------------------------------------
// Whole-content transforms

bool ckxstr::toLower() {
  if (!resize(length_, true)) return false;  // own the bytes before editing
  unsigned char* d = reinterpret_cast<unsigned char*>(data());
  for (uint32_t i = 0; i < length_; ++i)
    d[i] = static_cast<unsigned char>(tolower(d[i]));
  return true;
}

bool ckxstr::toUpper() {
  if (!resize(length_, true)) return false;
  unsigned char* d = reinterpret_cast<unsigned char*>(data());
  for (uint32_t i = 0; i < length_; ++i)
    d[i] = static_cast<unsigned char>(toupper(d[i]));
  return true;
}

bool ckxstr::toReverse() {
  if (!resize(length_, true)) return false;
  std::reverse(data(), data() + length_);
  return true;
}

bool ckxstr::toTrim() {
  const unsigned char* d = reinterpret_cast<const unsigned char*>(c_str());
  uint32_t begin = 0, end = length_;
  while (begin < end && isspace(d[begin])) ++begin;
  while (end > begin && isspace(d[end - 1])) --end;
  if (begin == 0 && end == length_) return true;
  if (!replace(static_cast<int>(end), length_ - end, "", 0)) return false;
  return replace(0, begin, "", 0);
}

bool ckxstr::hexToStr(bool upper) {
  const unsigned long long outLen = 2ull * length_;
  if (outLen > kMaxLength) return false;
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  ckxstr out;
  if (!out.resize(static_cast<uint32_t>(outLen), false)) return false;
  const unsigned char* s = reinterpret_cast<const unsigned char*>(c_str());
  char* d = out.data();
  for (uint32_t i = 0; i < length_; ++i) {
    d[2 * i] = digits[s[i] >> 4];
    d[2 * i + 1] = digits[s[i] & 0x0F];
  }
  out.setTag(tag());
  swap(out);
  return true;
}

static int HexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ckxstr::strToHex() {
  // The result is built apart and swapped in only when the whole text parsed,
  // so a malformed text leaves the content as it was.
  ckxstr out;
  if (!out.resize(length_ / 2, false)) return false;
  const unsigned char* s = reinterpret_cast<const unsigned char*>(c_str());
  unsigned char* d = reinterpret_cast<unsigned char*>(out.data());
  uint32_t produced = 0;
  uint32_t i = 0;
  for (;;) {
    while (i < length_ && isspace(s[i])) ++i;
    if (i == length_) break;
    if (i + 1 == length_) return false;  // odd number of digits
    int hi = HexValue(s[i]);
    int lo = HexValue(s[i + 1]);
    if (hi < 0 || lo < 0) return false;
    d[produced++] = static_cast<unsigned char>(hi << 4 | lo);
    i += 2;
  }
  if (!out.resize(produced, true)) return false;
  out.setTag(tag());
  swap(out);
  return true;
}

static const char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool ckxstr::base64Encode(const char* separator) {
  const size_t sepLen = separator ? strlen(separator) : 0;
  const unsigned long long encoded = 4ull * ((length_ + 2ull) / 3);
  // One separator after every 64 characters and after the last, shorter line.
  // Empty content encodes to empty text, with or without separator.
  const unsigned long long lines = encoded == 0 ? 0 : (encoded - 1) / 64 + 1;
  const unsigned long long total = encoded + (sepLen ? lines * sepLen : 0);
  if (total > kMaxLength) return false;
  ckxstr out;
  if (!out.resize(static_cast<uint32_t>(total), false)) return false;
  const unsigned char* s = reinterpret_cast<const unsigned char*>(c_str());
  char* d = out.data();
  uint32_t lineChars = 0;
  auto put = [&](char c) {
    *d++ = c;
    if (sepLen && ++lineChars == 64) {
      memcpy(d, separator, sepLen);
      d += sepLen;
      lineChars = 0;
    }
  };
  uint32_t i = 0;
  for (; i + 3 <= length_; i += 3) {
    uint32_t v = s[i] << 16 | s[i + 1] << 8 | s[i + 2];
    put(kBase64Alphabet[v >> 18]);
    put(kBase64Alphabet[(v >> 12) & 63]);
    put(kBase64Alphabet[(v >> 6) & 63]);
    put(kBase64Alphabet[v & 63]);
  }
  if (i < length_) {
    uint32_t v = s[i] << 16 | (i + 1 < length_ ? s[i + 1] << 8 : 0);
    put(kBase64Alphabet[v >> 18]);
    put(kBase64Alphabet[(v >> 12) & 63]);
    put(i + 1 < length_ ? kBase64Alphabet[(v >> 6) & 63] : '=');
    put('=');
  }
  if (sepLen && lineChars != 0) {
    memcpy(d, separator, sepLen);
    d += sepLen;
  }
  out.setTag(tag());
  swap(out);
  return true;
}

static int Base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool ckxstr::base64Decode() {
  ckxstr out;
  if (!out.resize(length_ / 4 * 3, false)) return false;
  const unsigned char* s = reinterpret_cast<const unsigned char*>(c_str());
  unsigned char* d = reinterpret_cast<unsigned char*>(out.data());
  uint32_t produced = 0;
  uint32_t i = 0;
  for (;;) {
    // White space is allowed between groups only.
    while (i < length_ && s[i] < 0x80 && isspace(s[i])) ++i;
    if (length_ - i < 4) break;  // a trailing partial group is ignored
    int v[4];
    for (int k = 0; k < 4; ++k) {
      unsigned char c = s[i + k];
      if (c >= 0x80) return false;
      v[k] = (c == '=' && k >= 2) ? -2 : Base64Value(c);
      if (v[k] == -1) return false;
    }
    i += 4;
    if (v[2] == -2) {  // "xx==" or "xx=?": one byte, then the end
      d[produced++] = static_cast<unsigned char>(v[0] << 2 | v[1] >> 4);
      break;
    }
    if (v[3] == -2) {  // "xxx=": two bytes, then the end
      d[produced++] = static_cast<unsigned char>(v[0] << 2 | v[1] >> 4);
      d[produced++] = static_cast<unsigned char>((v[1] & 15) << 4 | v[2] >> 2);
      break;
    }
    d[produced++] = static_cast<unsigned char>(v[0] << 2 | v[1] >> 4);
    d[produced++] = static_cast<unsigned char>((v[1] & 15) << 4 | v[2] >> 2);
    d[produced++] = static_cast<unsigned char>((v[2] & 3) << 6 | v[3]);
  }
  if (!out.resize(produced, true)) return false;
  out.setTag(tag());
  swap(out);
  return true;
}

bool ckxstr::dumpBin() {
  // "xx " per byte, a newline after every 16 bytes and after the last line.
  const unsigned long long total = 3ull * length_ + (length_ + 15ull) / 16;
  if (total > kMaxLength) return false;
  ckxstr out;
  if (!out.resize(static_cast<uint32_t>(total), false)) return false;
  static const char digits[] = "0123456789abcdef";
  const unsigned char* s = reinterpret_cast<const unsigned char*>(c_str());
  char* d = out.data();
  for (uint32_t i = 0; i < length_; ++i) {
    *d++ = digits[s[i] >> 4];
    *d++ = digits[s[i] & 0x0F];
    *d++ = ' ';
    if (i % 16 == 15 || i + 1 == length_) *d++ = '\n';
  }
  out.setTag(tag());
  swap(out);
  return true;
}

bool ckxstr::readfile(const char* path) {
  if (path == nullptr) return false;
  FILE* file = fopen(path, "rb");
  if (file == nullptr) return false;
  ckxstr out;
  bool ok = true;
  struct stat st;
  if (fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode)) {
    if (static_cast<unsigned long long>(st.st_size) > kMaxLength)
      ok = false;
    else
      ok = out.reserve(static_cast<uint32_t>(st.st_size), false);
  }
  // Read to the end whatever the reported size (files under /proc report 0).
  while (ok) {
    if (out.external_ && out.length_ < out.capacity()) {
      size_t room = out.capacity() - out.length_;
      size_t got = fread(out.data() + out.length_, 1, room, file);
      out.length_ += static_cast<uint32_t>(got);
      out.data()[out.length_] = '\0';
      if (got < room) {
        ok = !ferror(file);
        break;
      }
      continue;
    }
    // No room left: look for one more byte before growing the buffer.
    int c = fgetc(file);
    if (c == EOF) {
      ok = !ferror(file);
      break;
    }
    if (out.length_ >= kMaxLength) {
      ok = false;  // larger than the maximum length
      break;
    }
    unsigned long long want =
        std::max<unsigned long long>(4096, 2ull * out.length_ + 1);
    want = std::min<unsigned long long>(want, kMaxLength);
    if (!out.reserve(static_cast<uint32_t>(want), true)) {
      ok = false;
      break;
    }
    out.data()[out.length_++] = static_cast<char>(c);
    out.data()[out.length_] = '\0';
  }
  fclose(file);
  if (!ok) return false;
  out.setTag(kBytes);
  swap(out);
  return true;
}

bool ckxstr::writefile(const char* path, bool append) const {
  if (path == nullptr) return false;
  FILE* file = fopen(path, append ? "ab" : "wb");
  if (file == nullptr) return false;
  size_t written = length_ ? fwrite(c_str(), 1, length_, file) : 0;
  bool ok = written == length_;
  if (fclose(file) != 0) ok = false;
  return ok;
}

// Formatting goes through a fixed 8192-byte buffer: at most 8191 bytes per
// call, and a longer result is cut (vsnprintf reports the untruncated length,
// which is never used as a copy length).
static const size_t kFormatBuffer = 8192;

static bool FormatInto(char* buffer, uint32_t* len, const char* fmt,
                       va_list args) {
  if (fmt == nullptr) return false;
  int n = vsnprintf(buffer, kFormatBuffer, fmt, args);
  if (n < 0) return false;
  *len = static_cast<uint32_t>(
      std::min<size_t>(static_cast<size_t>(n), kFormatBuffer - 1));
  return true;
}

bool ckxstr::format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  bool ok = format(fmt, args);
  va_end(args);
  return ok;
}

bool ckxstr::format(const char* fmt, va_list args) {
  char buffer[kFormatBuffer];
  uint32_t len = 0;
  if (!FormatInto(buffer, &len, fmt, args)) return false;
  return assign(buffer, len, false, false, tag());
}

bool ckxstr::formatAppend(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  bool ok = formatAppend(fmt, args);
  va_end(args);
  return ok;
}

bool ckxstr::formatAppend(const char* fmt, va_list args) {
  char buffer[kFormatBuffer];
  uint32_t len = 0;
  if (!FormatInto(buffer, &len, fmt, args)) return false;
  return append(buffer, len);
}
