// Checks verify reports against the JSON schema that is installed with the
// program (tools/ofdseal/ofdseal-report.schema.json). The checker knows the
// part of JSON Schema 2020-12 that the schema uses: type, enum, const,
// minimum, properties, required, additionalProperties, items, oneOf and
// local $ref. Any other keyword fails the check, so a misspelt keyword in the
// schema is found rather than silently checking nothing.
#pragma once

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

namespace ofdtest {

class ReportSchema {
 public:
  using json = nlohmann::json;

  static const ReportSchema& Get() {
    static const ReportSchema schema(
        std::string(KX_SOURCE_DIR) +
        "/tools/ofdseal/ofdseal-report.schema.json");
    return schema;
  }

  // "" when `report` is valid, else the first violation and where.
  std::string Check(const json& report) const {
    std::string why;
    return Valid(root_, report, "", &why) ? "" : why;
  }
  std::string Check(const std::string& text) const {
    const json report = json::parse(text, nullptr, false);
    return report.is_discarded() ? "not JSON" : Check(report);
  }

 private:
  explicit ReportSchema(const std::string& path)
      : root_(json::parse(std::ifstream(path), nullptr, false)) {}

  static bool HasType(const json& value, const std::string& type) {
    if (type == "object") return value.is_object();
    if (type == "array") return value.is_array();
    if (type == "string") return value.is_string();
    if (type == "integer") return value.is_number_integer();
    if (type == "number") return value.is_number();
    if (type == "boolean") return value.is_boolean();
    if (type == "null") return value.is_null();
    return false;
  }

  bool Valid(const json& schema, const json& value, const std::string& at,
             std::string* why) const {
    if (!schema.is_object()) return Fail(why, at, "the schema is not read");
    for (const auto& [key, rule] : schema.items()) {
      if (key == "$schema" || key == "title" || key == "description" ||
          key == "$defs")
        continue;
      if (key == "$ref") {
        const std::string prefix = "#/$defs/";
        const std::string ref = rule.get<std::string>();
        if (ref.compare(0, prefix.size(), prefix) != 0 ||
            !root_["$defs"].contains(ref.substr(prefix.size())))
          return Fail(why, at, "unknown $ref " + ref);
        if (!Valid(root_["$defs"][ref.substr(prefix.size())], value, at, why))
          return false;
      } else if (key == "type") {
        bool ok = false;
        for (const json& t : rule.is_array() ? rule : json::array({rule}))
          ok = ok || HasType(value, t.get<std::string>());
        if (!ok) return Fail(why, at, "not of type " + rule.dump());
      } else if (key == "enum") {
        bool ok = false;
        for (const json& v : rule) ok = ok || v == value;
        if (!ok) return Fail(why, at, value.dump() + " not in " + rule.dump());
      } else if (key == "const") {
        if (value != rule) return Fail(why, at, "not " + rule.dump());
      } else if (key == "minimum") {
        if (value.is_number() && value.get<double>() < rule.get<double>())
          return Fail(why, at, "below " + rule.dump());
      } else if (key == "required") {
        for (const json& name : rule)
          if (value.is_object() && !value.contains(name.get<std::string>()))
            return Fail(why, at, "missing " + name.dump());
      } else if (key == "properties") {
        if (!value.is_object()) continue;
        for (const auto& [name, sub] : rule.items())
          if (value.contains(name) &&
              !Valid(sub, value[name], at + "/" + name, why))
            return false;
      } else if (key == "additionalProperties") {
        if (rule != false) return Fail(why, at, "unsupported " + key);
        if (!value.is_object()) continue;
        for (const auto& [name, member] : value.items())
          if (!schema.contains("properties") ||
              !schema["properties"].contains(name))
            return Fail(why, at, "unexpected member \"" + name + "\"");
      } else if (key == "items") {
        if (!value.is_array()) continue;
        for (size_t i = 0; i < value.size(); ++i)
          if (!Valid(rule, value[i], at + "/" + std::to_string(i), why))
            return false;
      } else if (key == "oneOf") {
        size_t matches = 0;
        std::string ignored;
        for (const json& alternative : rule)
          matches += Valid(alternative, value, at, &ignored) ? 1 : 0;
        if (matches != 1)
          return Fail(why, at,
                      "matches " + std::to_string(matches) +
                          " alternatives of oneOf" +
                          (ignored.empty() ? "" : " (" + ignored + ")"));
      } else {
        return Fail(why, at, "unknown keyword " + key);
      }
    }
    return true;
  }

  static bool Fail(std::string* why, const std::string& at,
                   const std::string& what) {
    *why = (at.empty() ? "/" : at) + ": " + what;
    return false;
  }

  json root_;
};

}  // namespace ofdtest
