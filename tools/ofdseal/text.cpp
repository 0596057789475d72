#include "text.h"

#include <cstdio>

#include "KXString.h"

namespace ofdseal {
namespace {

// Length of the well-formed UTF-8 sequence at text[i], or 0.
size_t SequenceLength(const std::string& text, size_t i) {
  const auto byte = [&](size_t k) {
    return static_cast<unsigned char>(text[k]);
  };
  const unsigned char c = byte(i);
  if (c < 0x80) return 1;
  size_t n = 0;
  uint32_t cp = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + n > text.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || cp > 0x10FFFF ||
      (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;
  return n;
}

}  // namespace

bool IsUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    size_t n = SequenceLength(text, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string RepairUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    size_t n = SequenceLength(text, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(text, i, n);
      i += n;
    }
  }
  return out;
}

std::string DisplayText(std::string text) {
  while (!text.empty() && text.back() == '\0') text.pop_back();
  if (IsUtf8(text)) return text;
  ckxstr converted = KXMbcsToUtf8(text.data(), static_cast<int>(text.size()));
  if (!converted.empty()) {
    std::string utf8(converted.c_str(), converted.length());
    if (IsUtf8(utf8)) return utf8;
  }
  return RepairUtf8(text);
}

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string EscapeText(const std::string& text) {
  const std::string clean = RepairUtf8(text);
  std::string out;
  out.reserve(clean.size());
  char buf[16];
  for (size_t i = 0; i < clean.size();) {
    const size_t n = SequenceLength(clean, i);
    const auto byte = [&](size_t k) {
      return static_cast<unsigned char>(clean[i + k]);
    };
    uint32_t cp = byte(0);
    if (n == 2) cp = ((cp & 0x1F) << 6) | (byte(1) & 0x3F);
    if (n == 3)
      cp = ((cp & 0x0F) << 12) | ((byte(1) & 0x3F) << 6) | (byte(2) & 0x3F);
    if (cp == '\n') {
      out += "\\n";
    } else if (cp == '\r') {
      out += "\\r";
    } else if (cp == '\t') {
      out += "\\t";
    } else if (cp < 0x20 || cp == 0x7F) {
      std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned>(cp));
      out += buf;
    } else if ((cp >= 0x80 && cp <= 0x9F) || cp == 0x61C || cp == 0x200E ||
               cp == 0x200F || (cp >= 0x2028 && cp <= 0x202E) ||
               (cp >= 0x2066 && cp <= 0x2069)) {
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(cp));
      out += buf;
    } else {
      out.append(clean, i, n);
    }
    i += n;
  }
  return out;
}

std::string JsonString(const std::string& text) {
  const std::string clean = RepairUtf8(text);
  std::string out = "\"";
  for (unsigned char c : clean) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string JsonMemberText(const std::string& json, const std::string& key) {
  const std::string start = JsonString(key) + ": \"";
  size_t at = json.find(start);
  if (at == std::string::npos) return std::string();
  std::string out;
  for (at += start.size(); at < json.size() && json[at] != '"'; ++at) {
    if (json[at] != '\\' || at + 1 >= json.size()) {
      out += json[at];
      continue;
    }
    const char e = json[++at];
    switch (e) {
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'u':
        // JsonString writes \u only for the C0 controls and DEL.
        if (at + 4 < json.size()) {
          out +=
              static_cast<char>(std::stoi(json.substr(at + 1, 4), nullptr, 16));
          at += 4;
        }
        break;
      default:
        out += e;  // '"', '\\', '/'
    }
  }
  return out;
}

Json Json::Object() {
  Json j;
  j.kind_ = kObject;
  return j;
}

Json Json::Array() {
  Json j;
  j.kind_ = kArray;
  return j;
}

Json& Json::Set(const std::string& key, Json value) {
  members_.emplace_back(key, std::move(value));
  return *this;
}

Json& Json::Push(Json value) {
  items_.push_back(std::move(value));
  return *this;
}

std::string Json::Dump() const {
  std::string out;
  DumpTo(&out, 0);
  return out;
}

void Json::DumpTo(std::string* out, int depth) const {
  const std::string pad(static_cast<size_t>(depth + 1) * 2, ' ');
  const std::string close(static_cast<size_t>(depth) * 2, ' ');
  switch (kind_) {
    case kNull:
      *out += "null";
      return;
    case kBool:
      *out += bool_ ? "true" : "false";
      return;
    case kNumber:
      *out += std::to_string(number_);
      return;
    case kString:
      *out += JsonString(string_);
      return;
    case kArray:
      if (items_.empty()) {
        *out += "[]";
        return;
      }
      *out += "[\n";
      for (size_t i = 0; i < items_.size(); ++i) {
        *out += pad;
        items_[i].DumpTo(out, depth + 1);
        *out += i + 1 < items_.size() ? ",\n" : "\n";
      }
      *out += close + "]";
      return;
    case kObject:
      if (members_.empty()) {
        *out += "{}";
        return;
      }
      *out += "{\n";
      for (size_t i = 0; i < members_.size(); ++i) {
        *out += pad + JsonString(members_[i].first) + ": ";
        members_[i].second.DumpTo(out, depth + 1);
        *out += i + 1 < members_.size() ? ",\n" : "\n";
      }
      *out += close + "}";
      return;
  }
}

}  // namespace ofdseal
