// Small reading helpers over Mini-XML trees for OFD files. OFD files write
// their elements with a namespace prefix ("ofd:Signature"), some producers
// without one, so elements are matched by their local name.
#pragma once

#include <mxml.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ofdseal {

struct XmlDeleter {
  void operator()(mxml_node_t* node) const { mxmlDelete(node); }
};
using XmlTree = std::unique_ptr<mxml_node_t, XmlDeleter>;

// The parsed document below a parent element of its own, or null when the
// bytes are not XML (then `error`, when given, receives the parser's
// message). Text is kept as it is written
// (opaque), so locations and Base64 values keep their spaces. The parser's
// messages never reach standard error.
XmlTree ParseXml(const std::string& bytes, std::string* error = nullptr);

// Bounds of one parse; 0 leaves a bound out.
struct XmlLimits {
  uint64_t maxDepth = 0;   // element nesting
  uint64_t maxMemory = 0;  // estimated memory of the tree, in bytes
};

enum class XmlFailure {
  kNone,
  kNotXml,
  kTooDeep,   // nested deeper than maxDepth
  kTooLarge,  // the tree would take more than maxMemory
  kNoMemory,  // an allocation failed while parsing
};

// ParseXml within `limits`: the parse stops as soon as a bound is passed,
// so a tree never grows far beyond it. `memory` receives the estimated
// memory of the tree (of what was parsed, when it failed).
XmlTree ParseXml(const std::string& bytes, const XmlLimits& limits,
                 XmlFailure* failure, uint64_t* memory, std::string* error);

// The document's root element (after any XML declaration), or null.
mxml_node_t* RootElement(mxml_node_t* tree);

// The element's name without its namespace prefix.
std::string LocalName(mxml_node_t* element);
// The first element named `name` strictly below `node`, in document order.
mxml_node_t* FindElement(mxml_node_t* node, const std::string& name);
// Every element named `name` below `node`, in document order.
std::vector<mxml_node_t*> FindElements(mxml_node_t* node,
                                       const std::string& name);
// The elements named `name` directly below `node`.
std::vector<mxml_node_t*> ChildElements(mxml_node_t* node,
                                        const std::string& name);
// The first element named `name` directly below `node`, or null.
mxml_node_t* ChildElement(mxml_node_t* node, const std::string& name);
// The text directly inside the element, surrounding blanks removed.
std::string ElementText(mxml_node_t* element);
// The attribute's value, or `fallback` when absent.
std::string Attribute(mxml_node_t* element, const char* name,
                      const std::string& fallback = std::string());
bool HasAttribute(mxml_node_t* element, const char* name);

}  // namespace ofdseal
