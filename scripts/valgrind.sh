#!/usr/bin/env bash
# scripts/valgrind.sh [BUILD_DIR]
# Runs every test program of a plain build whole under valgrind's memcheck,
# following the processes they start (the programs themselves, probes and
# ofdseal; system programs such as the shell are not followed). Prints one
# line per program and exits 1 when any reported an error or a definite leak.
set -uo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
logs=${VALGRIND_LOGS:-$(mktemp -d)}
failed=0
for test in "$dir"/bin/test_*; do
  [ -f "$test" ] && [ -x "$test" ] || continue
  name=$(basename "$test")
  start=$(date +%s)
  valgrind --quiet --error-exitcode=99 --leak-check=full \
    --errors-for-leak-kinds=definite --show-leak-kinds=definite \
    --trace-children=yes --trace-children-skip='/bin/*,/usr/bin/*,/usr/sbin/*' \
    --log-file="$logs/$name.%p.vg" \
    "$test" --gtest_brief=1 >"$logs/$name.out" 2>&1
  rc=$?
  errors=$(cat "$logs/$name".*.vg 2>/dev/null | grep -c 'ERROR SUMMARY: [1-9]\|definitely lost\|Invalid \|uninitialised' || true)
  echo "$name: exit $rc, valgrind reports $errors, $(( $(date +%s) - start )) s"
  if [ $rc -ne 0 ] || [ "$errors" -ne 0 ]; then failed=1; fi
done
echo "logs in $logs"
exit $failed
