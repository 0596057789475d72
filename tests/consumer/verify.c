/* An integrator's C program, built against an installed sealkit: it
   verifies a whole OFD file with libofdseal, then one of its seal
   signatures with libsealverify from the parts the caller took out of the
   package.

     verify FILE.ofd ROOT.pem SIGNATURE.xml SIGNEDVALUE.dat

   Prints the verdict of the file and the result of the seal signature;
   exit status 0 when the file is valid with ROOT.pem as the trust anchor
   and the seal signature verifies. */
#include <ofdseal.h>
#include <SealVerify.h>
#include <stdio.h>
#include <stdlib.h>

static unsigned char* ReadAll(const char* path, unsigned int* length) {
  FILE* f = fopen(path, "rb");
  unsigned char* bytes = NULL;
  long size;
  if (f == NULL) return NULL;
  if (fseek(f, 0, SEEK_END) == 0 && (size = ftell(f)) > 0 &&
      fseek(f, 0, SEEK_SET) == 0 && (bytes = malloc((size_t)size)) != NULL &&
      fread(bytes, 1, (size_t)size, f) == (size_t)size) {
    *length = (unsigned int)size;
  } else {
    free(bytes);
    bytes = NULL;
  }
  fclose(f);
  return bytes;
}

int main(int argc, char** argv) {
  ofdseal_options* options;
  char* report = NULL;
  int verdict;
  unsigned char digest[32];
  unsigned int digestLen = sizeof digest, xmlLen = 0, valueLen = 0, rc;
  unsigned char *xml, *value;

  if (argc != 5) return 2;
  options = ofdseal_options_new();
  if (options == NULL ||
      ofdseal_options_set(options, OFDSEAL_OPT_DEFAULT_TRUST, 0) != OFDSEAL_OK ||
      ofdseal_options_add_trust(options, argv[2], NULL) != OFDSEAL_OK)
    return 2;
  verdict = ofdseal_verify_file(argv[1], options, &report);
  printf("%s: verdict %d\n%s\n", argv[1], verdict, report ? report : "");
  ofdseal_free(report);
  ofdseal_options_free(options);

  /* The seal signature signs the SM3 digest of Signature.xml (SM2 signer). */
  xml = ReadAll(argv[3], &xmlLen);
  value = ReadAll(argv[4], &valueLen);
  if (xml == NULL || value == NULL) return 2;
  rc = SEF_DigestDatabyAlg(920, xml, xmlLen, digest, &digestLen);
  if (rc == 0) rc = SEF_OfdESealSign_Verify(digest, digestLen, value, valueLen);
  printf("seal signature: %u %s\n", rc, SEF_FormatError(rc));
  free(xml);
  free(value);
  return verdict == OFDSEAL_VALID && rc == 0 ? 0 : 1;
}
