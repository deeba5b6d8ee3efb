#!/usr/bin/env bash
# How large the tests are next to the code they test: non-blank lines of everything under tests/
# against src/ and server/. The house keeps tests at most 40% of the product code, so a change that
# grows the tests faster than the code shows up here (CTest runs this as test "test_share").
#
#   scripts/test-share.sh [limit-percent]     (default 40; exits 1 above it)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
limit="${1:-40}"

# Files git knows when this is a checkout (so build output and editor leftovers never count),
# otherwise every file in the folder.
lines() {
  local files
  if git -C "$root" rev-parse --git-dir >/dev/null 2>&1; then
    files="$(git -C "$root" ls-files -- "$@")"
  else
    files="$(cd "$root" && find "$@" -type f)"
  fi
  [ -n "$files" ] || { echo 0; return; }
  (cd "$root" && printf '%s\n' "$files" | tr '\n' '\0' | xargs -0 cat | grep -cv '^\s*$' || true)
}

tests="$(lines tests)"
product="$(( $(lines src) + $(lines server) ))"
share=$(( tests * 1000 / product ))
printf 'tests %d lines, product %d lines (src/ + server/): %d.%d%% (limit %d%%)\n' \
  "$tests" "$product" $((share / 10)) $((share % 10)) "$limit"
[ "$share" -le $((limit * 10)) ]
