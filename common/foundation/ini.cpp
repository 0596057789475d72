// INI text in a ckxstr: lookup of a key in a section, reading typed values,
// and in-place edits that leave every other byte of the text as it was.
#include <strings.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "KXIni.h"

namespace {

bool IsBreak(char c) { return c == '\r' || c == '\n'; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Where a section and a key were found. Positions are byte offsets into the
// text.
struct IniMatch {
  bool sectionFound = false;
  uint32_t sectionStart = 0;  // the "[" of the header
  uint32_t nameStart = 0;
  uint32_t nameEnd = 0;    // the closing "]"
  uint32_t headerEnd = 0;  // end of the header line
  // Start of the line that ended the key search: the next section header, a
  // line without "=", or the end of the text.
  uint32_t searchEnd = 0;
  bool keyFound = false;
  uint32_t lineStart = 0;
  uint32_t keyEnd = 0;      // after the key, trailing blanks removed
  uint32_t valueStart = 0;  // after "=" and the blanks that follow it
  uint32_t lineEnd = 0;     // the line break or the end of the text
};

uint32_t LineEnd(const char* s, uint32_t n, uint32_t pos) {
  while (pos < n && !IsBreak(s[pos])) ++pos;
  return pos;
}

// First position at or after `pos` that starts a section header ("[" at the
// start of a line), or n. `pos` must be a line start or a line break.
uint32_t NextSection(const char* s, uint32_t n, uint32_t pos) {
  for (;;) {
    while (pos < n && IsBreak(s[pos])) ++pos;
    if (pos >= n || s[pos] == '[') return pos;
    pos = LineEnd(s, n, pos);
  }
}

bool SameBytes(const char* s, uint32_t start, uint32_t end, const char* name,
               size_t nameLen) {
  return end - start == nameLen && memcmp(s + start, name, nameLen) == 0;
}

// Finds the first header "[section]" and, when `key` is not null, the first
// line of that section whose key is `key`.
IniMatch Find(const ckxstr& ini, const char* section, const char* key) {
  IniMatch m;
  if (section == nullptr) return m;
  const char* s = ini.c_str();
  const uint32_t n = ini.length();
  const size_t sectionLen = strlen(section);

  uint32_t pos = 0;
  for (;;) {
    pos = NextSection(s, n, pos);
    if (pos >= n) return m;
    const uint32_t end = LineEnd(s, n, pos);
    // The name runs to the next "]" on the header line.
    const void* close = memchr(s + pos + 1, ']', end - pos - 1);
    if (close != nullptr) {
      const uint32_t closeAt =
          static_cast<uint32_t>(static_cast<const char*>(close) - s);
      if (SameBytes(s, pos + 1, closeAt, section, sectionLen)) {
        m.sectionFound = true;
        m.sectionStart = pos;
        m.nameStart = pos + 1;
        m.nameEnd = closeAt;
        m.headerEnd = end;
        break;
      }
    }
    pos = end;
  }

  pos = m.headerEnd;
  const size_t keyLen = key == nullptr ? 0 : strlen(key);
  for (;;) {
    while (pos < n && IsBreak(s[pos])) ++pos;
    if (pos >= n || s[pos] == '[' || key == nullptr) break;
    const uint32_t end = LineEnd(s, n, pos);
    if (s[pos] == '#' || s[pos] == ';') {  // comment
      pos = end;
      continue;
    }
    const void* eq = memchr(s + pos, '=', end - pos);
    if (eq == nullptr) break;  // a line without "=" ends the section's keys
    const uint32_t eqAt =
        static_cast<uint32_t>(static_cast<const char*>(eq) - s);
    uint32_t keyEnd = eqAt;
    while (keyEnd > pos && IsBlank(s[keyEnd - 1])) --keyEnd;
    if (SameBytes(s, pos, keyEnd, key, keyLen)) {
      uint32_t valueStart = eqAt + 1;
      while (valueStart < end && IsBlank(s[valueStart])) ++valueStart;
      m.keyFound = true;
      m.lineStart = pos;
      m.keyEnd = keyEnd;
      m.valueStart = valueStart;
      m.lineEnd = end;
      m.searchEnd = pos;
      return m;
    }
    pos = end;
  }
  m.searchEnd = pos;
  return m;
}

// Appends the pieces to `out`; false if any append fails.
bool Concat(ckxstr* out, std::initializer_list<const char*> pieces) {
  for (const char* piece : pieces)
    if (!out->append(piece, static_cast<uint32_t>(strlen(piece)))) return false;
  return true;
}

// Value text as a NUL-terminated string; empty when absent or empty.
ckxstr ReadValue(const ckxstr& ini, const char* section, const char* key) {
  return KXIniReadStr(ini, section, key, nullptr);
}

}  // namespace

ckxstr KXIniReadStr(const ckxstr& ini, const char* section, const char* key,
                    const char* def) {
  ckxstr out;
  const IniMatch m = key == nullptr ? IniMatch() : Find(ini, section, key);
  if (m.keyFound) {
    out.assign(ini.c_str() + m.valueStart, m.lineEnd - m.valueStart, false,
               false, ini.tag());
  } else if (def != nullptr) {
    out.assign(def, static_cast<uint32_t>(strlen(def)));
  }
  return out;
}

int KXIniReadInt(const ckxstr& ini, const char* section, const char* key,
                 int def) {
  const ckxstr value = ReadValue(ini, section, key);
  if (value.empty()) return def;
  const long v = strtol(value.c_str(), nullptr, 10);
  // Out-of-range numbers saturate, as strtol itself does for long.
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

long long KXIniReadLong(const ckxstr& ini, const char* section, const char* key,
                        long long def) {
  const ckxstr value = ReadValue(ini, section, key);
  if (value.empty()) return def;
  return strtoll(value.c_str(), nullptr, 10);
}

double KXIniReadDouble(const ckxstr& ini, const char* section, const char* key,
                       double def) {
  const ckxstr value = ReadValue(ini, section, key);
  if (value.empty()) return def;
  return strtod(value.c_str(), nullptr);
}

bool KXIniReadBool(const ckxstr& ini, const char* section, const char* key,
                   bool def) {
  const ckxstr value = ReadValue(ini, section, key);
  if (value.empty()) return def;
  if (strcasecmp(value.c_str(), "TRUE") == 0) return true;
  return strtol(value.c_str(), nullptr, 10) != 0;
}

bool KXIniWriteStr(ckxstr& ini, const char* section, const char* key,
                   const char* value) {
  if (section == nullptr || key == nullptr) return false;
  if (value == nullptr) value = "";
  const IniMatch m = Find(ini, section, key);

  if (m.keyFound)  // the key, its blanks and the line break stay
    return ini.replace(static_cast<int>(m.valueStart), m.lineEnd - m.valueStart,
                       value, static_cast<uint32_t>(strlen(value)));

  ckxstr added;
  if (!m.sectionFound) {
    // A line break always comes first, even after an existing one.
    return Concat(&added, {"\n[", section, "]\n", key, "=", value, "\n"}) &&
           ini.append(added);
  }

  // After the last non-empty line the key search passed: blank lines before
  // the next section stay where they are. When the search stopped at a line
  // without "=", the new line goes before it, where a later read finds it.
  const char* s = ini.c_str();
  uint32_t at = m.searchEnd;
  while (at > m.headerEnd && IsBreak(s[at - 1])) --at;
  return Concat(&added, {"\n", key, "=", value}) &&
         ini.insert(static_cast<int>(at), added.c_str(), added.length());
}

bool KXIniWriteInt(ckxstr& ini, const char* section, const char* key,
                   int value) {
  char buf[32];
  snprintf(buf, sizeof buf, "%d", value);
  return KXIniWriteStr(ini, section, key, buf);
}

bool KXIniWriteLong(ckxstr& ini, const char* section, const char* key,
                    long long value) {
  char buf[32];
  snprintf(buf, sizeof buf, "%lld", value);
  return KXIniWriteStr(ini, section, key, buf);
}

bool KXIniWriteDouble(ckxstr& ini, const char* section, const char* key,
                      double value) {
  char buf[32];
  snprintf(buf, sizeof buf, "%lg", value);
  return KXIniWriteStr(ini, section, key, buf);
}

bool KXIniWriteBool(ckxstr& ini, const char* section, const char* key,
                    bool value) {
  return KXIniWriteStr(ini, section, key, value ? "TRUE" : "FALSE");
}

bool KXIniEraseKey(ckxstr& ini, const char* section, const char* key) {
  if (key == nullptr) return false;
  const IniMatch m = Find(ini, section, key);
  if (!m.keyFound) return false;
  const char* s = ini.c_str();
  uint32_t end = m.lineEnd;
  while (end < ini.length() && IsBreak(s[end])) ++end;
  return ini.erase(static_cast<int>(m.lineStart), end - m.lineStart);
}

bool KXIniEraseSection(ckxstr& ini, const char* section) {
  const IniMatch m = Find(ini, section, nullptr);
  if (!m.sectionFound) return false;
  const uint32_t end = NextSection(ini.c_str(), ini.length(), m.headerEnd);
  return ini.erase(static_cast<int>(m.sectionStart), end - m.sectionStart);
}
