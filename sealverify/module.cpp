// libsealverify: the SEF_ verification API.
