#!/usr/bin/env bash
# check_exports.sh LIBRARY LISTDIR
# Compares the defined dynamic symbols of LIBRARY with the union of the lists
# in LISTDIR/*.txt (one mangled name per line; "#" starts a comment).
set -euo pipefail
lib=$1
dir=$2
# AddressSanitizer adds an "__odr_asan.<name>" indicator for every exported
# variable; it is instrumentation, not part of the interface.
actual=$(nm -D --defined-only "$lib" | awk '{print $NF}' | { grep -v '^__odr_asan[.]' || true; } | sort -u)
expected=$(cat "$dir"/*.txt 2>/dev/null | sed -e 's/#.*//' -e 's/[[:space:]]*$//' | grep -v '^$' | sort -u || true)
extra=$(comm -23 <(echo "$actual") <(echo "$expected") | grep -v '^$' || true)
missing=$(comm -13 <(echo "$actual") <(echo "$expected") | grep -v '^$' || true)
status=0
if [ -n "$extra" ]; then
  echo "exported but not listed in $dir:"
  while read -r s; do echo "  $s   ($(echo "$s" | c++filt))"; done <<<"$extra"
  status=1
fi
if [ -n "$missing" ]; then
  echo "listed in $dir but not exported:"
  while read -r s; do echo "  $s   ($(echo "$s" | c++filt))"; done <<<"$missing"
  status=1
fi
[ $status -eq 0 ] && echo "exports of $(basename "$lib") match $(echo "$expected" | grep -c . || true) listed symbols"
exit $status
