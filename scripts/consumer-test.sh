#!/usr/bin/env bash
# scripts/consumer-test.sh [BUILD_DIR]
# Uses sealkit as an integrator and a system administrator would, from a
# build (build/ by default):
#   1. installs it into a temporary prefix;
#   2. builds a C program (tests/consumer/verify.c: a bundled example
#      verified whole with ofdseal_verify_file, and its seal signature with
#      SEF_OfdESealSign_Verify) and a C++ program (tests/consumer/
#      subject.cpp) with pkg-config, and both again with find_package
#      (tests/consumer/CMakeLists.txt), and runs them;
#   3. makes the Debian package (scripts/package.sh), unpacks it into a
#      throwaway root (dpkg -x) and runs ofdseal verify and man ofdseal
#      from there.
# Exits 0 when every step gives what it should.
set -Eeuo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
./scripts/install-deps.sh
cmake -S . -B "$dir" >/dev/null
cmake --build "$dir" -j"$(nproc)" --target KXCommon sealcore sealverify \
  libofdseal skfsoft ofdseal
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'echo "consumer-test: FAILED (line $LINENO)" >&2; cat "$work/verify.out" 2>/dev/null >&2' ERR
export TZ=CST-8

step() { echo "consumer-test: $*"; }

step "install into $work/prefix"
prefix=$work/prefix
cmake --install "$dir" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name libofdseal.so -print -quit)")
export PKG_CONFIG_PATH=$libdir/pkgconfig

# The parts of the example that the C program checks itself.
example=examples/plain-sm2.ofd
unzip -p "$example" Doc_0/Signs/Sign_0/Signature.xml >"$work/Signature.xml"
unzip -p "$example" Doc_0/Signs/Sign_0/SignedValue.dat >"$work/SignedValue.dat"
run_programs() {  # run_programs VERIFY SUBJECT
  "$1" "$example" examples/example-root.pem "$work/Signature.xml" \
    "$work/SignedValue.dat" >"$work/verify.out"
  grep -q '"verdict": "valid"' "$work/verify.out"
  grep -q '^seal signature: 0 ' "$work/verify.out"
  "$2" examples/example-root.pem >"$work/subject.out"
  grep -q 'CN=Example SM2 Root CA' "$work/subject.out"
}

step "build with pkg-config and run"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror -pedantic tests/consumer/verify.c \
  $(pkg-config --cflags --libs ofdseal sealverify) -o "$work/verify"
# shellcheck disable=SC2046
c++ -std=c++17 -Wall -Wextra -Werror tests/consumer/subject.cpp \
  $(pkg-config --cflags --libs sealverify kxcommon libcrypto) -o "$work/subject"
LD_LIBRARY_PATH=$libdir run_programs "$work/verify" "$work/subject"

step "build with find_package(sealkit) and run"
cmake -S tests/consumer -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" \
  >/dev/null
cmake --build "$work/cmake" >/dev/null
run_programs "$work/cmake/verify" "$work/cmake/subject"

step "make the Debian package"
deb=$(./scripts/package.sh "$dir")
depends=$(dpkg-deb -f "$deb" Depends)
echo "  $deb: Depends: $depends"
for lib in libc6 libssl3 libmxml1 libzip4 zlib1g libstdc++6; do
  grep -q "$lib" <<<"$depends" || { echo "  missing dependency $lib"; exit 1; }
done

step "unpack it into a throwaway root and run ofdseal from there"
root=$work/root
dpkg -x "$deb" "$root"
ldd "$root/usr/bin/ofdseal" | grep -q "=> $root/usr/.*libofdseal"
out=$("$root/usr/bin/ofdseal" verify --no-default-trust \
  --trust examples/example-root.pem examples/gov-rsa.ofd)
grep -q '^Result: valid, 1 of 1 signature valid$' <<<"$out"
MANPATH=$root/usr/share/man MANWIDTH=80 man ofdseal >"$work/man.out"
grep -q 'ofdseal - verify and inspect electronic seals' "$work/man.out"
test -s "$root/usr/share/sealkit/ofdseal-report.schema.json"
step "passed"
