#include "xml.h"

#include <cstring>

namespace ofdseal {

namespace {

// Mini-XML reports parse errors through a per-thread callback, by default
// to standard error; ours keeps the last message for the report.
thread_local std::string t_lastError;

void KeepError(const char* message) { t_lastError = message ? message : ""; }

}  // namespace

XmlTree ParseXml(const std::string& bytes, std::string* error) {
  mxmlSetErrorCallback(KeepError);
  t_lastError.clear();
  XmlTree tree;
  // Mini-XML reads up to a NUL byte; a part with one inside is not XML text.
  if (bytes.empty() || std::memchr(bytes.data(), 0, bytes.size()) != nullptr) {
    t_lastError = "empty or binary";
  } else {
    // Parsed below a parent of our own: Mini-XML loses the nodes it has
    // built when a parse without a parent fails, and deleting the parent
    // frees whatever the parse left.
    tree.reset(mxmlNewElement(MXML_NO_PARENT, "ofdseal"));
    if (tree && (mxmlLoadString(tree.get(), bytes.c_str(),
                                MXML_OPAQUE_CALLBACK) == nullptr ||
                 !t_lastError.empty()))
      tree.reset();
  }
  if (!tree && error != nullptr)
    *error = t_lastError.empty() ? "not XML" : t_lastError;
  return tree;
}

mxml_node_t* RootElement(mxml_node_t* tree) {
  if (tree == nullptr) return nullptr;
  for (mxml_node_t* n = mxmlWalkNext(tree, tree, MXML_DESCEND); n != nullptr;
       n = mxmlWalkNext(n, tree, MXML_DESCEND)) {
    const char* name =
        mxmlGetType(n) == MXML_ELEMENT ? mxmlGetElement(n) : nullptr;
    if (name != nullptr && name[0] != '?' && name[0] != '!') return n;
  }
  return nullptr;
}

std::string LocalName(mxml_node_t* element) {
  const char* name = mxmlGetElement(element);
  if (name == nullptr) return std::string();
  const char* colon = std::strrchr(name, ':');
  return colon == nullptr ? name : colon + 1;
}

mxml_node_t* FindElement(mxml_node_t* node, const std::string& name) {
  if (node == nullptr) return nullptr;
  // mxmlWalkNext walks without recursion, so deep nesting costs no stack.
  for (mxml_node_t* n = mxmlWalkNext(node, node, MXML_DESCEND); n != nullptr;
       n = mxmlWalkNext(n, node, MXML_DESCEND)) {
    if (mxmlGetType(n) == MXML_ELEMENT && LocalName(n) == name) return n;
  }
  return nullptr;
}

std::vector<mxml_node_t*> FindElements(mxml_node_t* node,
                                       const std::string& name) {
  std::vector<mxml_node_t*> out;
  if (node == nullptr) return out;
  for (mxml_node_t* n = mxmlWalkNext(node, node, MXML_DESCEND); n != nullptr;
       n = mxmlWalkNext(n, node, MXML_DESCEND)) {
    if (mxmlGetType(n) == MXML_ELEMENT && LocalName(n) == name)
      out.push_back(n);
  }
  return out;
}

std::vector<mxml_node_t*> ChildElements(mxml_node_t* node,
                                        const std::string& name) {
  std::vector<mxml_node_t*> out;
  if (node == nullptr) return out;
  for (mxml_node_t* n = mxmlGetFirstChild(node); n != nullptr;
       n = mxmlGetNextSibling(n)) {
    if (mxmlGetType(n) == MXML_ELEMENT && LocalName(n) == name)
      out.push_back(n);
  }
  return out;
}

mxml_node_t* ChildElement(mxml_node_t* node, const std::string& name) {
  std::vector<mxml_node_t*> all = ChildElements(node, name);
  return all.empty() ? nullptr : all.front();
}

std::string ElementText(mxml_node_t* element) {
  std::string text;
  if (element == nullptr) return text;
  for (mxml_node_t* n = mxmlGetFirstChild(element); n != nullptr;
       n = mxmlGetNextSibling(n)) {
    if (mxmlGetType(n) == MXML_OPAQUE) {
      const char* part = mxmlGetOpaque(n);
      if (part != nullptr) text += part;
    } else if (mxmlGetType(n) == MXML_ELEMENT) {
      const char* cdata = mxmlGetCDATA(n);
      if (cdata != nullptr) text += cdata;
    }
  }
  const char* blanks = " \t\r\n";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::string Attribute(mxml_node_t* element, const char* name,
                      const std::string& fallback) {
  const char* value =
      element == nullptr ? nullptr : mxmlElementGetAttr(element, name);
  return value == nullptr ? fallback : value;
}

bool HasAttribute(mxml_node_t* element, const char* name) {
  return element != nullptr && mxmlElementGetAttr(element, name) != nullptr;
}

}  // namespace ofdseal
