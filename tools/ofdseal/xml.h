// Small reading helpers over Mini-XML trees for OFD files. OFD files write
// their elements with a namespace prefix ("ofd:Signature"), some producers
// without one, so elements are matched by their local name.
#pragma once

#include <mxml.h>

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
