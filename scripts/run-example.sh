#!/usr/bin/env bash
# Installs what is missing, builds ofdseal and verifies the bundled example
# documents (examples/): sealed with a seal of each family by SM2 and RSA
# signers, one with two signatures, one whose page was changed after sealing,
# one whose seal signature was altered, and one signed with a PKCS#7
# signature (Type="Sign") rather than a seal. Each is verified twice: without
# trust anchors (valid signatures are "valid (untrusted)") and with the
# examples' root certificate as the trust anchor (examples/example-root.pem).
# Prints every report and succeeds when each report and exit status is the
# expected one (examples/expected/ and examples/expected/trusted/).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target ofdseal
echo

# Signing times are shown in local time; the expected reports use China
# Standard Time. The trust folders of this machine are left out
# (--no-default-trust), so the reports do not depend on them.
export TZ=CST-8
summary=()
failed=0

# run_manifest DIR [OPTION...]: verifies every example of DIR/verdicts.txt
# with the options and compares with DIR/NAME.txt.
run_manifest() {
  local dir=$1
  shift
  local name code verdict rc out shown
  shown="ofdseal verify --no-default-trust${*:+ $*}"
  summary+=("$shown:")
  while read -r name code verdict; do
    case "$name" in '' | '#'*) continue ;; esac
    echo "\$ $shown examples/$name"
    # Exit status 1 (a signature is invalid) is an expected result here.
    rc=0
    out=$(./build/bin/ofdseal verify --no-default-trust "$@" "examples/$name") || rc=$?
    printf '%s\n(exit status %s)\n\n' "$out" "$rc"
    if [ "$rc" = "$code" ] &&
      diff -u "$dir/${name%.ofd}.txt" - <<<"$out" >/dev/null; then
      summary+=("$(printf '  %-24s %-18s exit %s  as expected' "$name" "$verdict" "$rc")")
    else
      summary+=("$(printf '  %-24s exit %s  NOT AS EXPECTED (%s, exit %s, report %s)' \
        "$name" "$rc" "$verdict" "$code" "$dir/${name%.ofd}.txt")")
      failed=1
    fi
  done <"$dir/verdicts.txt"
}

run_manifest examples/expected
run_manifest examples/expected/trusted --trust examples/example-root.pem

echo "Summary:"
printf '%s\n' "${summary[@]}"
if [ "$failed" -ne 0 ]; then
  echo "run-example: some results differ from examples/expected/" >&2
  exit 1
fi
