// XML helpers over Mini-XML.
#include <cstring>
#include <string>
#include <vector>

#include "KXLog.h"
#include "KXXml.h"
#include "foundation/export_boundary.h"
#include "state.h"

namespace {

void LogXmlError(const char* message) {
  KXLog(1, "LogXmlError", __LINE__, "Mini-XML: %s",
        message != nullptr ? message : "");
}

}  // namespace

// Mini-XML reports errors (malformed documents above all) through a callback
// that it keeps per thread and that prints on standard error by default;
// standard error belongs to the host program, so ours writes to the log at
// DEBUG level instead. It is installed once per thread: at load for the
// loading thread, otherwise on the thread's first parse. A callback the host
// installs on a thread afterwards stays in place.
void kx::RouteXmlErrors() {
  thread_local bool routed = false;
  if (routed) return;
  routed = true;
  mxmlSetErrorCallback(LogXmlError);
}

mxml_node_t* KXXmlNew(const char* name) {
  if (name == nullptr) return nullptr;
  return mxmlNewElement(MXML_NO_PARENT, name);
}

void KXXmlFree(mxml_node_t* node) {
  if (node != nullptr) mxmlDelete(node);  // also detaches it from its parent
}

namespace {

// True for any node but white space between elements.
bool Significant(mxml_node_t* node) {
  if (mxmlGetType(node) != MXML_OPAQUE) return true;
  const char* text = mxmlGetOpaque(node);
  for (; text != nullptr && *text != '\0'; ++text)
    if (std::strchr(" \t\r\n", *text) == nullptr) return true;
  return false;
}

// True for a node that Mini-XML makes the parent of the rest of the
// document when it comes first: the XML declaration (and other processing
// instructions) and a DOCTYPE, not comments or CDATA.
bool HoldsTheRest(mxml_node_t* node) {
  const char* name = mxmlGetElement(node);
  if (name == nullptr) return false;
  if (name[0] == '?') return true;
  return name[0] == '!' && std::strncmp(name, "!--", 3) != 0 &&
         std::strncmp(name, "![CDATA[", 8) != 0;
}

}  // namespace

// Mini-XML loses the nodes it has built when a parse without a parent node
// fails, so the text is parsed below a temporary parent that is deleted
// whatever happens. The tree handed out is the one a parse without a parent
// gives: the document's single root, or its declaration (or DOCTYPE) holding
// every node that follows it; text that does not start with "<" (after an
// optional byte-order mark), or has several roots, does not parse.
mxml_node_t* KXStrToXml(const char* text) {
  if (text == nullptr) return nullptr;
  kx::RouteXmlErrors();
  const char* start =
      std::strncmp(text, "\xEF\xBB\xBF", 3) == 0 ? text + 3 : text;
  if (start[0] != '<') return nullptr;
  mxml_node_t* top = mxmlNewElement(MXML_NO_PARENT, "kxtop");
  if (top == nullptr) return nullptr;
  mxml_node_t* root = nullptr;
  if (mxmlLoadString(top, text, MXML_OPAQUE_CALLBACK) != nullptr) {
    mxml_node_t* first = mxmlGetFirstChild(top);
    while (first != nullptr && !Significant(first))
      first = mxmlGetNextSibling(first);
    if (first != nullptr && mxmlGetType(first) == MXML_ELEMENT) {
      if (HoldsTheRest(first)) {
        for (mxml_node_t* next = mxmlGetNextSibling(first); next != nullptr;
             next = mxmlGetNextSibling(first)) {
          mxmlRemove(next);
          mxmlAdd(first, MXML_ADD_AFTER, MXML_ADD_TO_PARENT, next);
        }
        root = first;
      } else {
        int roots = 0;
        for (mxml_node_t* c = mxmlGetFirstChild(top); c != nullptr;
             c = mxmlGetNextSibling(c))
          roots += Significant(c) ? 1 : 0;
        if (roots == 1) root = first;
      }
    }
  }
  if (root != nullptr) mxmlRemove(root);
  mxmlDelete(top);
  return root;
}

mxml_node_t* KXXmlFind(mxml_node_t* node, const char* name) {
  if (node == nullptr || name == nullptr) return nullptr;
  // The search starts after `node`, so the node itself is never a match.
  return mxmlFindElement(node, node, name, nullptr, nullptr, MXML_DESCEND);
}

const char* KXXmlGet(mxml_node_t* node, const char* name) {
  mxml_node_t* element = KXXmlFind(node, name);
  if (element == nullptr) return nullptr;
  mxml_node_t* child = mxmlGetFirstChild(element);
  if (child == nullptr || mxmlGetType(child) != MXML_OPAQUE) return nullptr;
  return mxmlGetOpaque(child);
}

mxml_node_t* KXXmlSet(mxml_node_t* node, const char* name, const char* value) {
  if (node == nullptr || name == nullptr) return nullptr;
  if (value == nullptr) value = "";
  mxml_node_t* element = KXXmlFind(node, name);
  if (element != nullptr) {
    mxml_node_t* child = mxmlGetFirstChild(element);
    if (child != nullptr && mxmlGetType(child) == MXML_OPAQUE)
      mxmlSetOpaque(child, value);
    return element;
  }
  element = mxmlNewElement(node, name);  // appended as the last child
  if (element == nullptr) return nullptr;
  if (mxmlNewOpaque(element, value) == nullptr) {
    mxmlDelete(element);
    return nullptr;
  }
  return element;
}

bool KXXmlDel(mxml_node_t* node, const char* name) {
  mxml_node_t* element = KXXmlFind(node, name);
  if (element == nullptr) return false;
  mxmlDelete(element);
  return true;
}

namespace {

// The elements left out of a serialisation. Each is recorded before it is
// taken out of the tree, and all are put back as the last children of
// `parent` when the serialisation ends, however it ends.
class DetachedElements {
 public:
  explicit DetachedElements(mxml_node_t* parent) : parent_(parent) {}
  ~DetachedElements() {
    for (mxml_node_t* element : elements_)
      mxmlAdd(parent_, MXML_ADD_AFTER, MXML_ADD_TO_PARENT, element);
  }
  DetachedElements(const DetachedElements&) = delete;
  DetachedElements& operator=(const DetachedElements&) = delete;

  void Detach(mxml_node_t* element) {
    elements_.push_back(element);
    mxmlRemove(element);
  }

 private:
  mxml_node_t* parent_;
  std::vector<mxml_node_t*> elements_;
};

}  // namespace

ckxstr KXXmlToStr(mxml_node_t* node, const char* exclude) {
  if (node == nullptr) return ckxstr();
  return kx::GuardValue(kx::CommonFailure("KXXmlToStr"), [&] {
    ckxstr out;
    DetachedElements detached(node);
    if (exclude != nullptr) {
      const char* p = exclude;
      while (*p != '\0') {
        const char* bar = std::strchr(p, '|');
        std::string name = bar == nullptr ? std::string(p)
                                          : std::string(p, bar - p);
        if (!name.empty()) {
          mxml_node_t* element = KXXmlFind(node, name.c_str());
          if (element != nullptr) detached.Detach(element);
        }
        if (bar == nullptr) break;
        p = bar + 1;
      }
    }
    char first[8192];
    int needed = mxmlSaveString(node, first, sizeof first, MXML_NO_CALLBACK);
    if (needed >= 0 && needed < static_cast<int>(sizeof first) - 1) {
      out.assign(first, static_cast<uint32_t>(needed), false, false,
                 ckxstr::kUtf8);
    } else if (needed >= 0 && out.resize(static_cast<uint32_t>(needed), false)) {
      // Too long for the first buffer: serialise again into a buffer of the
      // reported size (plus its terminator).
      mxmlSaveString(node, out.data(), needed + 1, MXML_NO_CALLBACK);
      out.setTag(ckxstr::kUtf8);
    }
    return out;
  });
}
