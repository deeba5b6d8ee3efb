#!/usr/bin/env bash
# Builds the template fuzzer with clang and libFuzzer into build-fuzz/ and runs it. Arguments go to
# libFuzzer; without any it runs for 60 seconds. New inputs it finds are kept in build-fuzz/corpus,
# the checked-in seeds are in fuzz/template/corpus, and a failing input is written to build-fuzz/
# (replay it with build-fuzz/fuzz_template <file>).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
command -v clang++ >/dev/null || { echo "clang++ is missing: apt-get install clang" >&2; exit 1; }
dir="$root/build-fuzz"
[ -f "$dir/build.ninja" ] || cmake -S "$root/fuzz" -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" >/dev/null
mkdir -p "$dir/corpus"
if [ $# -eq 0 ]; then set -- -max_total_time=60; fi
exec "$dir/fuzz_template" -artifact_prefix="$dir/" "$@" "$dir/corpus" "$root/fuzz/template/corpus"
