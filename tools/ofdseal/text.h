// Text for people and for programs: UTF-8 checks and repair, hex, and a small
// JSON value that serialises itself as valid UTF-8 JSON.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace ofdseal {

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool IsUtf8(const std::string& text);
// `text` with every byte that does not start a well-formed UTF-8 sequence
// replaced by U+FFFD.
std::string RepairUtf8(const std::string& text);
// Text read from a seal or certificate for display: trailing NUL bytes
// dropped; UTF-8 kept; otherwise read as GBK, the local code page of many
// seal producers; whatever still is not UTF-8 is repaired.
std::string DisplayText(std::string text);
std::string Hex(const std::string& bytes);
// `text` for one line of a text report: invalid UTF-8 repaired, and every
// character that could break the line or disguise it written as an escape:
// "\n", "\r", "\t", other C0 controls and DEL as "\x1b", C1 controls, line
// and paragraph separators and bidirectional formatting characters as
// "\u2028". A value from a document can thus never print a line of its own.
std::string EscapeText(const std::string& text);

class Json {
 public:
  Json() = default;  // null
  Json(bool value) : kind_(kBool), bool_(value) {}
  Json(int value) : kind_(kNumber), number_(value) {}
  Json(unsigned int value) : kind_(kNumber), number_(value) {}
  Json(int64_t value) : kind_(kNumber), number_(value) {}
  Json(uint64_t value) : kind_(kNumber), number_(static_cast<int64_t>(value)) {}
  Json(const char* value) : kind_(kString), string_(value) {}
  Json(std::string value) : kind_(kString), string_(std::move(value)) {}

  static Json Object();
  static Json Array();

  // Object: appends the member (keys keep their order). Array: appends.
  Json& Set(const std::string& key, Json value);
  Json& Push(Json value);

  // Indented by two spaces per level, ending without a newline.
  std::string Dump() const;

 private:
  enum Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  void DumpTo(std::string* out, int depth) const;

  Kind kind_ = kNull;
  bool bool_ = false;
  int64_t number_ = 0;
  std::string string_;
  std::vector<Json> items_;
  std::vector<std::pair<std::string, Json>> members_;
};

// The JSON string literal of `text`, quotes included; invalid UTF-8 is
// repaired first.
std::string JsonString(const std::string& text);
// The text of the string member `key` of a JSON object as Json::Dump
// writes it (one member per line), its escapes decoded; empty when there is
// no such member.
std::string JsonMemberText(const std::string& json, const std::string& key);

}  // namespace ofdseal
