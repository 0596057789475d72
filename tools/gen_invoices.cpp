// gen_invoices DIR COUNT [BIG_BYTES]
// Writes COUNT sealed OFD documents the size of an e-invoice into DIR
// (invoice-0000.ofd ...): 10 to 20 parts each (pages, and images of 1 to
// 10 KB: some 60 KB a document), one GOV seal signature with an SM2 signer
// covering every part. With BIG_BYTES, also big.ofd: one sealed document with
// an image part of that many bytes, for measuring memory against part size.
// Used to measure batch verification.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fixtures.h"
#include "ofd_kit.h"

namespace {

// Bytes that deflate like a photograph: mostly noise.
std::string ImageBytes(size_t length, unsigned seed) {
  std::string bytes(length, '\0');
  unsigned state = seed * 2654435761u + 1;
  for (size_t i = 0; i < length; ++i) {
    state = state * 1103515245u + 12345u;
    bytes[i] = static_cast<char>(state >> 16);
  }
  return bytes;
}

fx::ofd::Package Invoice(unsigned number) {
  fx::ofd::DocumentSpec params;
  params.title = "Invoice " + std::to_string(number);
  params.pageText = "Amount due: " + std::to_string(100 + number) + " yuan.";
  fx::ofd::Package doc = fx::ofd::MakeDocument(params);
  const unsigned extra = 6 + number % 11;  // the kit writes 4 parts itself
  for (unsigned k = 0; k < extra; ++k) {
    const std::string name =
        "Doc_0/Res/image_" + std::to_string(k) + ".png";
    doc.Set(name, ImageBytes(1000 + (number * 7919 + k * 104729) % 9000,
                             number * 31 + k));
  }
  return doc;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: gen_invoices DIR COUNT [BIG_BYTES]\n");
    return 2;
  }
  const std::string dir = argv[1];
  const unsigned count = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
  fx::ofd::Sealing sealing;
  for (unsigned i = 0; i < count; ++i) {
    fx::ofd::Package doc = Invoice(i);
    fx::ofd::AddSignature(&doc, sealing);
    char name[64];
    std::snprintf(name, sizeof name, "/invoice-%04u.ofd", i);
    fx::ofd::WriteZip(doc, dir + name);
  }
  if (argc > 3) {
    fx::ofd::Package doc = Invoice(0);
    const size_t big = static_cast<size_t>(std::strtoull(argv[3], nullptr, 10));
    std::string image(big, '\0');
    for (size_t i = 0; i < big; ++i) image[i] = static_cast<char>(i * 7 + (i >> 12));
    doc.Set("Doc_0/Res/big.png", image);
    fx::ofd::AddSignature(&doc, sealing);
    fx::ofd::WriteZip(doc, dir + "/big.ofd");
  }
  return 0;
}
