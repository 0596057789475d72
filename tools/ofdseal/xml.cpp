#include "xml.h"

#include <stdio_ext.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace ofdseal {

namespace {

// Mini-XML reports parse errors through a per-thread callback, by default
// to standard error; ours keeps the last message for the report. It runs
// inside the parser, so it must not allocate or throw: the message goes to
// a fixed buffer. Mini-XML's "Unable to ..." messages all report a failed
// allocation.
thread_local char t_lastError[256];
thread_local bool t_noMemory = false;

void KeepError(const char* message) {
  const char* text = message ? message : "";
  std::snprintf(t_lastError, sizeof t_lastError, "%s", text);
  if (errno == ENOMEM || std::strncmp(text, "Unable to", 9) == 0)
    t_noMemory = true;
}

// What one node of a tree takes beyond its text: the node, its name and
// the allocator's overhead, as measured for Mini-XML 3 on x86-64 (a file of
// empty elements takes about 32 times its size).
const uint64_t kNodeBytes = 128;

// One parse: the bytes still to hand to the parser and the bounds. The
// parser reads through a stream of ours, so a bound that is passed ends
// the input there and the parse stops instead of building on.
struct Parse {
  const std::string* bytes = nullptr;
  size_t at = 0;  // bytes handed to the parser
  XmlLimits limits;
  uint64_t depth = 0;
  uint64_t nodes = 0;
  XmlFailure stop = XmlFailure::kNone;

  // The tree's nodes, and at most one copy of the text read.
  uint64_t Memory() const { return nodes * kNodeBytes + at; }
};

ssize_t ReadInput(void* cookie, char* buffer, size_t size) {
  Parse* parse = static_cast<Parse*>(cookie);
  if (parse->stop != XmlFailure::kNone) return 0;
  size_t n = parse->bytes->size() - parse->at;
  if (n > size) n = size;
  std::memcpy(buffer, parse->bytes->data() + parse->at, n);
  parse->at += n;
  return static_cast<ssize_t>(n);
}

// The parser's SAX callback: counts nodes and depth, and keeps each node
// (mxmlRetain) until a bound is passed. Nodes that are not kept are freed
// by the parser as soon as they are complete.
void CountNode(mxml_node_t* node, mxml_sax_event_t event, void* data) {
  Parse* parse = static_cast<Parse*>(data);
  if (event == MXML_SAX_ELEMENT_CLOSE) {
    if (parse->depth > 0) --parse->depth;
    return;  // an element is kept, or not, when it opens
  }
  if (parse->stop != XmlFailure::kNone) return;
  if (event == MXML_SAX_ELEMENT_OPEN) {
    ++parse->depth;
    if (parse->limits.maxDepth != 0 && parse->depth > parse->limits.maxDepth) {
      parse->stop = XmlFailure::kTooDeep;
      return;
    }
  }
  ++parse->nodes;
  if (parse->limits.maxMemory != 0 &&
      parse->Memory() > parse->limits.maxMemory) {
    parse->stop = XmlFailure::kTooLarge;
    return;
  }
  mxmlRetain(node);
}

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};

}  // namespace

XmlTree ParseXml(const std::string& bytes, std::string* error) {
  XmlFailure failure = XmlFailure::kNone;
  uint64_t memory = 0;
  return ParseXml(bytes, XmlLimits(), &failure, &memory, error);
}

XmlTree ParseXml(const std::string& bytes, const XmlLimits& limits,
                 XmlFailure* failure, uint64_t* memory, std::string* error) {
  mxmlSetErrorCallback(KeepError);
  t_lastError[0] = '\0';
  t_noMemory = false;
  *failure = XmlFailure::kNone;
  *memory = 0;
  XmlTree tree;
  Parse parse;
  parse.bytes = &bytes;
  parse.limits = limits;
  // Mini-XML reads up to a NUL byte; a part with one inside is not XML text.
  if (bytes.empty() || std::memchr(bytes.data(), 0, bytes.size()) != nullptr) {
    std::snprintf(t_lastError, sizeof t_lastError, "empty or binary");
    *failure = XmlFailure::kNotXml;
  } else {
    const cookie_io_functions_t io = {ReadInput, nullptr, nullptr, nullptr};
    std::unique_ptr<FILE, FileCloser> in(fopencookie(&parse, "r", io));
    // The parser reads a character at a time; the stream is ours alone.
    if (in) __fsetlocking(in.get(), FSETLOCKING_BYCALLER);
    // Parsed below a parent of our own: Mini-XML loses the nodes it has
    // built when a parse without a parent fails, and deleting the parent
    // frees whatever the parse left.
    tree.reset(mxmlNewElement(MXML_NO_PARENT, "ofdseal"));
    if (!in || !tree) {
      *failure = XmlFailure::kNoMemory;
    } else {
      errno = 0;
      const bool loaded =
          mxmlSAXLoadFile(tree.get(), in.get(), MXML_OPAQUE_CALLBACK, CountNode,
                          &parse) != nullptr;
      *memory = parse.Memory();
      if (parse.stop != XmlFailure::kNone)
        *failure = parse.stop;
      else if (t_noMemory)
        *failure = XmlFailure::kNoMemory;
      else if (!loaded || t_lastError[0] != '\0')
        *failure = XmlFailure::kNotXml;
    }
  }
  if (*failure == XmlFailure::kNone) return tree;
  tree.reset();
  if (error != nullptr) {
    switch (*failure) {
      case XmlFailure::kTooDeep:
        *error = "elements nested too deep";
        break;
      case XmlFailure::kTooLarge:
        *error = "too large";
        break;
      case XmlFailure::kNoMemory:
        *error = "out of memory";
        break;
      default:
        *error = t_lastError[0] != '\0' ? t_lastError : "not XML";
    }
  }
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
