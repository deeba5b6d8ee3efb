#!/usr/bin/env bash
# Configures and builds into build/ (or build-asan/ with HOPLIN_SANITIZE=1). Extra arguments go to
# the build tool, e.g. a target name.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if [ "${HOPLIN_SANITIZE:-0}" = 1 ]; then
  dir="$root/build-asan"; extra=(-DHOPLIN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
else
  dir="$root/build"; extra=()
fi
# ccache, where installed, lets several checkouts share compiled objects.
command -v ccache >/dev/null && extra+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
[ -f "$dir/build.ninja" ] || cmake -S "$root" -B "$dir" -G Ninja "${extra[@]}" >&2
# Progress and errors go to stderr: stdout carries only the folder, for the callers.
cmake --build "$dir" -- "$@" >&2
echo "$dir"
