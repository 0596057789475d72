/* libofdseal: whole OFD documents verified in one call. For every signature
   of every document of the package it checks each referenced file against
   its check value, the seal signature (through SEF_OfdESealSign_Verify) or
   the PKCS#7 signature over the exact bytes of Signature.xml, that the
   signer owns the seal, that the seal and the signer's certificate were
   valid at the signing time, and that the certificates chain to the trust
   anchors; it returns the report that `ofdseal verify --json` prints (the
   program itself verifies through this call). The package is not trusted:
   the work is bounded by the limits below. C and C++.

     char* report = NULL;
     int verdict = ofdseal_verify_file("invoice.ofd", NULL, &report);
     ... verdict is OFDSEAL_VALID only when every signature is valid and its
     certificates chain to a trust anchor; report holds the JSON report ...
     ofdseal_free(report);

   The functions may be called from several threads; one options object may
   be shared by concurrent verifications once it is set up. */
#ifndef SEALKIT_OFDSEAL_H
#define SEALKIT_OFDSEAL_H

#include <stdint.h>

#include "kx_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What ofdseal_verify_file answers: the verdict of the whole file, or why
   there is none. The other functions answer OFDSEAL_OK or one of the last
   three. */
enum ofdseal_result {
  OFDSEAL_OK = 0,
  /* Every signature valid and its certificates chain to a trust anchor
     (report verdict "valid"). */
  OFDSEAL_VALID = 0,
  /* Every signature valid, but no trust anchor was given, so nothing says
     who made the certificates ("valid (untrusted)"). */
  OFDSEAL_VALID_UNTRUSTED = 1,
  /* A signature, a reference or the signature list is not valid
     ("invalid"). */
  OFDSEAL_INVALID = 2,
  /* The document has no signature ("unsigned"). */
  OFDSEAL_UNSIGNED = 3,
  /* Nothing was verified: the file is unreadable or not an OFD package, the
     package was refused as hostile or by a limit, or a trust file is not
     usable. The report is {"file", "verdict": "error", "error"}. */
  OFDSEAL_UNREADABLE = 4,
  /* A null argument, an unknown option or a limit of 0; no report. */
  OFDSEAL_BAD_ARGUMENT = 5,
  /* Out of memory; no report. */
  OFDSEAL_NO_MEMORY = 6
};

/* Settings of ofdseal_options_set. */
enum ofdseal_option {
  /* 1 (the default): also trust the certificates of every *.pem and *.crt
     file of /etc/ofdseal/trust.d and of $XDG_CONFIG_HOME/ofdseal/trust.d
     (~/.config/ofdseal/trust.d); 0: only those of ofdseal_options_add_trust
     (`--no-default-trust`). */
  OFDSEAL_OPT_DEFAULT_TRUST = 1,
  /* 1: the report is the text that `ofdseal verify` prints, and for
     OFDSEAL_UNREADABLE the one-line reason; 0 (the default): JSON. */
  OFDSEAL_OPT_TEXT_REPORT = 2,
  /* Limits of the package, as the options of `ofdseal verify`; none may be
     0. */
  OFDSEAL_OPT_MAX_ENTRIES = 10,    /* ZIP entries (10000) */
  OFDSEAL_OPT_MAX_SIZE = 11,       /* bytes inflated and parsed (512 MiB) */
  OFDSEAL_OPT_MAX_DOCUMENTS = 12,  /* documents of OFD.xml (16) */
  OFDSEAL_OPT_MAX_SIGNATURES = 13, /* entries of one signature list (1000) */
  OFDSEAL_OPT_MAX_REFERENCES = 14, /* references of a Signature.xml (10000) */
  OFDSEAL_OPT_MAX_XML_SIZE = 15,   /* bytes of one XML file (4 MiB) */
  OFDSEAL_OPT_MAX_XML_DEPTH = 16   /* element nesting of one XML file (64) */
};

/* How ofdseal_verify_file verifies: the trust anchors, the report form and
   the limits. A null options pointer means the defaults, which are those of
   `ofdseal verify --json FILE`. */
typedef struct ofdseal_options ofdseal_options;

/* New options with the defaults; null when out of memory. */
KX_EXPORT ofdseal_options* ofdseal_options_new(void);
/* Frees the options; null is ignored. */
KX_EXPORT void ofdseal_options_free(ofdseal_options* options);
/* Sets one option: OFDSEAL_OK, or OFDSEAL_BAD_ARGUMENT for null options, an
   unknown option or a value out of range. */
KX_EXPORT int ofdseal_options_set(ofdseal_options* options, int option,
                                  uint64_t value);
/* Trusts the certificates (roots and intermediates) of the PEM file
   (`--trust FILE.pem`). OFDSEAL_OK; OFDSEAL_UNREADABLE when the file cannot
   be read, holds no certificate or one that does not parse (nothing of it
   is added), with the reason in *error when error is not null (free it with
   ofdseal_free); OFDSEAL_BAD_ARGUMENT; OFDSEAL_NO_MEMORY. */
KX_EXPORT int ofdseal_options_add_trust(ofdseal_options* options,
                                        const char* pem_file, char** error);
/* Reads the trust folders now, when OFDSEAL_OPT_DEFAULT_TRUST is on and they
   were not read yet (otherwise the first verification reads them). The files
   of the folders that could not be used are skipped; *warnings (when
   warnings is not null) receives one line for each skipped since the last
   call, or null when there is none; free it with ofdseal_free. */
KX_EXPORT int ofdseal_options_load_trust(ofdseal_options* options,
                                         char** warnings);

/* Verifies the OFD file at `path` and stores its report, a NUL-terminated
   UTF-8 text, in *report (free it with ofdseal_free); *report is null for
   OFDSEAL_BAD_ARGUMENT and OFDSEAL_NO_MEMORY. Returns the verdict of the
   file (enum ofdseal_result). */
KX_EXPORT int ofdseal_verify_file(const char* path,
                                  const ofdseal_options* options,
                                  char** report);

/* Frees a report, an error or warnings text of this library; null is
   ignored. */
KX_EXPORT void ofdseal_free(void* text);

#ifdef __cplusplus
}
#endif

#endif /* SEALKIT_OFDSEAL_H */
