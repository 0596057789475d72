#!/usr/bin/env bash
# Installs what is missing, builds ofdseal and verifies the bundled example
# documents (examples/): sealed with a seal of each family by SM2 and RSA
# signers, one with two signatures, one whose page was changed after sealing
# and one whose seal signature was altered. Prints every report and succeeds
# when each report and exit status is the expected one (examples/expected/).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target ofdseal
echo

# Signing times are shown in local time; the expected reports use China
# Standard Time.
export TZ=CST-8
summary=()
failed=0
while read -r name code verdict; do
  case "$name" in '' | '#'*) continue ;; esac
  echo "\$ ofdseal verify examples/$name"
  # Exit status 1 (a signature is invalid) is an expected result here.
  rc=0
  out=$(./build/bin/ofdseal verify "examples/$name") || rc=$?
  printf '%s\n(exit status %s)\n\n' "$out" "$rc"
  if [ "$rc" = "$code" ] &&
    diff -u "examples/expected/${name%.ofd}.txt" - <<<"$out" >/dev/null; then
    summary+=("$(printf '  %-24s %-8s exit %s  as expected' "$name" "$verdict" "$rc")")
  else
    summary+=("$(printf '  %-24s exit %s  NOT AS EXPECTED (%s, exit %s, report %s)' \
      "$name" "$rc" "$verdict" "$code" "examples/expected/${name%.ofd}.txt")")
    failed=1
  fi
done <examples/expected/verdicts.txt

echo "Summary:"
printf '%s\n' "${summary[@]}"
if [ "$failed" -ne 0 ]; then
  echo "run-example: some results differ from examples/expected/" >&2
  exit 1
fi
