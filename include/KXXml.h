// XML helpers on Mini-XML trees. Text between tags is kept as one opaque
// node (white space included). Every lookup by name finds the first element
// of that name strictly below the given node, in document order.
#pragma once

#ifndef __cplusplus
#error "KXXml.h is a C++ header"
#endif

#include <mxml.h>

#include "ckxstr.h"
#include "kx_export.h"

// A new root element. Free the tree with KXXmlFree.
KX_EXPORT mxml_node_t* KXXmlNew(const char* name);
// Deletes the node and its subtree, detaching it from its parent first.
KX_EXPORT void KXXmlFree(mxml_node_t* node);
// The parsed tree (owned by the caller), or null when `text` is null or
// does not parse. Mini-XML's messages go to the log at DEBUG level.
KX_EXPORT mxml_node_t* KXStrToXml(const char* text);
KX_EXPORT mxml_node_t* KXXmlFind(mxml_node_t* node, const char* name);
// The text of the element, or null when it has none or is absent. The
// string belongs to the tree.
KX_EXPORT const char* KXXmlGet(mxml_node_t* node, const char* name);
// Sets the element's text, appending a new element below `node` when there
// is none. Returns the element, or null.
KX_EXPORT mxml_node_t* KXXmlSet(mxml_node_t* node, const char* name,
                                const char* value);
KX_EXPORT bool KXXmlDel(mxml_node_t* node, const char* name);
// The serialised tree without the elements named in `exclude` ("a|b"); the
// excluded elements are put back afterwards as the last children of `node`.
KX_EXPORT ckxstr KXXmlToStr(mxml_node_t* node, const char* exclude);
