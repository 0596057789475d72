#include "tolerant.h"

#include <cstring>

namespace sv::tolerant {
namespace {

// Deep enough for every seal and signature layout; a bound on the recursion.
const int kMaxDepth = 24;

const uint8_t kSequence = 0x30;
const uint8_t kOctetString = 0x04;
const uint8_t kIa5String = 0x16;
const uint8_t kInteger = 0x02;
const uint8_t kContextConstructed0 = 0xA0;

bool IsContext(uint8_t tag) { return (tag & 0xC0) == 0x80; }

// Reads one element header at data[at..limit): tag, content start and end.
bool Header(const uint8_t* data, size_t at, size_t limit, Node* n) {
  if (at + 2 > limit) return false;
  const uint8_t tag = data[at];
  if ((tag & 0x1F) == 0x1F) return false;  // high tag numbers: not used here
  size_t p = at + 1;
  size_t length = data[p++];
  if (length & 0x80) {
    const size_t octets = length & 0x7F;
    // Indefinite lengths (0x80) and lengths beyond 4 octets are not read.
    if (octets == 0 || octets > 4 || p + octets > limit) return false;
    length = 0;
    for (size_t i = 0; i < octets; ++i) length = (length << 8) | data[p++];
  }
  if (length > limit - p) return false;
  n->tag = tag;
  n->start = at;
  n->contentStart = p;
  n->end = p + length;
  n->constructed = (tag & 0x20) != 0;
  return true;
}

bool ParseAt(const uint8_t* data, size_t at, size_t limit, int depth,
             Node* n) {
  if (!Header(data, at, limit, n)) return false;
  if (!n->constructed || depth >= kMaxDepth) return true;
  for (size_t p = n->contentStart; p < n->end;) {
    Node kid;
    if (!ParseAt(data, p, n->end, depth + 1, &kid)) {
      n->kids.clear();  // not a sequence of elements: kept whole
      return true;
    }
    p = kid.end;
    n->kids.push_back(std::move(kid));
  }
  return true;
}

void AppendLength(size_t length, std::vector<uint8_t>* out) {
  if (length < 0x80) {
    out->push_back(static_cast<uint8_t>(length));
    return;
  }
  uint8_t octets[sizeof(size_t)];
  int n = 0;
  for (size_t l = length; l != 0; l >>= 8) octets[n++] = static_cast<uint8_t>(l);
  out->push_back(static_cast<uint8_t>(0x80 | n));
  while (n > 0) out->push_back(octets[--n]);
}

// Writes the tree again: unchanged elements as they stand, changed ones with
// their new tag and the length of what is left of their content.
void Write(const Node& n, const uint8_t* data, std::vector<uint8_t>* out) {
  if (!n.changed) {
    out->insert(out->end(), data + n.start, data + n.end);
    return;
  }
  std::vector<uint8_t> content;
  if (n.kids.empty()) {
    content.assign(data + n.contentStart, data + n.end);
  } else {
    for (const Node& kid : n.kids)
      if (!kid.dropped) Write(kid, data, &content);
  }
  out->push_back(n.tag);
  AppendLength(content.size(), out);
  out->insert(out->end(), content.begin(), content.end());
}

Node* Kid(Node* n, size_t i) {
  return n != nullptr && i < n->kids.size() ? &n->kids[i] : nullptr;
}
const Node* Kid(const Node* n, size_t i) {
  return n != nullptr && i < n->kids.size() ? &n->kids[i] : nullptr;
}
bool IsSequence(const Node* n) { return n != nullptr && n->tag == kSequence; }

// The slips of a seal; true when one was rewritten.
bool FixSeal(Node* seal) {
  if (!IsSequence(seal)) return false;
  bool changed = false;
  // GOV seal: {esealInfo, cert, signatureAlgorithm, signData} and then
  // context-tagged fields that newer encoders add (a time-stamp slot).
  for (size_t i = 4; i < seal->kids.size(); ++i)
    if (IsContext(seal->kids[i].tag)) seal->kids[i].dropped = changed = true;
  // Plain seal: esealInfo.propertys.certList holding IA5String entries
  // among (or instead of) OCTET STRING certificates.
  Node* esealInfo = Kid(seal, 0);
  Node* propertys = IsSequence(esealInfo) ? Kid(esealInfo, 2) : nullptr;
  Node* certList = IsSequence(propertys) ? Kid(propertys, 2) : nullptr;
  if (IsSequence(certList) && !certList->kids.empty()) {
    bool onlyStrings = true, anyIa5 = false;
    for (const Node& entry : certList->kids) {
      onlyStrings = onlyStrings && (entry.tag == kOctetString ||
                                    entry.tag == kIa5String);
      anyIa5 = anyIa5 || entry.tag == kIa5String;
    }
    if (onlyStrings && anyIa5) {
      for (Node& entry : certList->kids)
        if (entry.tag == kIa5String) {
          entry.tag = kOctetString;
          entry.changed = true;
        }
      certList->changed = propertys->changed = esealInfo->changed = true;
      changed = true;
    }
  }
  if (changed) seal->changed = true;
  return changed;
}

bool FixSignature(Node* root) {
  if (!IsSequence(root)) return false;
  Node* tbs = Kid(root, 0);
  if (!IsSequence(tbs)) return false;
  bool changed = false;
  // GOV TBS_Sign: {version, eseal, timeInfo, dataHash, propertyInfo,
  // extDatas OPTIONAL} and an extra [0] field in place of or after extDatas.
  for (size_t i = 5; i < tbs->kids.size(); ++i)
    if (tbs->kids[i].tag == kContextConstructed0)
      tbs->kids[i].dropped = changed = true;
  changed = FixSeal(Kid(tbs, 1)) || changed;
  if (changed) tbs->changed = root->changed = true;
  return changed;
}

std::vector<uint8_t> Bytes(const uint8_t* data, const Node* n) {
  if (n == nullptr) return {};
  return std::vector<uint8_t>(data + n->start, data + n->end);
}

// Reads an INTEGER at data[*at..end) as an unsigned magnitude of at most 32
// bytes, right-aligned in out[32].
bool Magnitude(const uint8_t* data, size_t* at, size_t end, uint8_t out[32]) {
  Node n;
  if (!Header(data, *at, end, &n) || n.tag != kInteger ||
      n.end == n.contentStart)
    return false;
  size_t p = n.contentStart;
  while (p < n.end && data[p] == 0) ++p;  // sign octet, superfluous zeros
  const size_t length = n.end - p;
  if (length > 32) return false;
  std::memset(out, 0, 32);
  std::memcpy(out + 32 - length, data + p, length);
  *at = n.end;
  return true;
}

}  // namespace

bool Parse(const uint8_t* data, size_t length, Node* root) {
  *root = Node();
  return data != nullptr && ParseAt(data, 0, length, 0, root);
}

bool NormalizeSignature(const uint8_t* data, size_t length,
                        std::vector<uint8_t>* out) {
  Node root;
  if (!Parse(data, length, &root) || !FixSignature(&root)) return false;
  out->clear();
  Write(root, data, out);
  return true;
}

bool NormalizeSeal(const uint8_t* data, size_t length,
                   std::vector<uint8_t>* out) {
  Node root;
  if (!Parse(data, length, &root) || !FixSeal(&root)) return false;
  out->clear();
  Write(root, data, out);
  return true;
}

SignedParts SignedPartsOf(const uint8_t* data, size_t length, int family) {
  SignedParts parts;
  Node root;
  if (!Parse(data, length, &root)) return parts;
  const Node* tbs = Kid(&root, 0);
  const Node* seal = Kid(tbs, 1);
  if (!IsSequence(tbs) || seal == nullptr) return parts;
  parts.tbsSign = Bytes(data, tbs);
  if (family == 4) {
    parts.sealSigned = Bytes(data, Kid(seal, 0));
  } else if (family == 3) {
    // The seal travels as the content of an OCTET STRING.
    Node inner;
    if (seal->tag == kOctetString && !seal->constructed &&
        Parse(data + seal->contentStart, seal->end - seal->contentStart,
              &inner))
      parts.sealSigned = Bytes(data + seal->contentStart, Kid(&inner, 0));
  } else {
    // TBS_Seal {esealInfo, signInfo.cert, signInfo.signatureAlgorithm}.
    const Node* info = Kid(seal, 0);
    const Node* signInfo = Kid(seal, 1);
    const Node* cert = Kid(signInfo, 0);
    const Node* algorithm = Kid(signInfo, 1);
    if (info != nullptr && cert != nullptr && algorithm != nullptr) {
      std::vector<uint8_t> content = Bytes(data, info);
      for (const Node* n : {cert, algorithm}) {
        std::vector<uint8_t> b = Bytes(data, n);
        content.insert(content.end(), b.begin(), b.end());
      }
      parts.sealSigned.push_back(kSequence);
      AppendLength(content.size(), &parts.sealSigned);
      parts.sealSigned.insert(parts.sealSigned.end(), content.begin(),
                              content.end());
    }
  }
  if (parts.sealSigned.empty()) parts.tbsSign.clear();
  return parts;
}

bool Sm2SignatureValue(const uint8_t* bits, size_t length, int unusedBits,
                       uint8_t rs[64]) {
  if (bits == nullptr) return false;
  if (length == 64) {
    std::memcpy(rs, bits, 64);
    return true;
  }
  std::vector<uint8_t> value(bits, bits + length);
  // SEQUENCE header: is the content shorter than it says?
  if (length < 2 || bits[0] != kSequence) return false;
  size_t said = bits[1], header = 2;
  if (said == 0x81 && length >= 3) {
    said = bits[2];
    header = 3;
  } else if (said >= 0x80) {
    return false;  // r and s never need more than one length octet
  }
  if (header + said > length) {
    // The encoder dropped trailing zero bits and counted some as unused:
    // only a BIT STRING with unused bits, and at most a few bytes short.
    const size_t missing = header + said - length;
    if (unusedBits < 1 || unusedBits > 7 || missing > 8) return false;
    value.resize(header + said, 0);
  }
  if (header + said != value.size()) return false;  // bytes after the SEQUENCE
  size_t at = header;
  if (!Magnitude(value.data(), &at, value.size(), rs) ||
      !Magnitude(value.data(), &at, value.size(), rs + 32))
    return false;
  return at == value.size();
}

}  // namespace sv::tolerant
