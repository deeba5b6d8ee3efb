#!/usr/bin/env bash
# Installs what is needed, builds everything and runs all tests. With HOPLIN_SANITIZE=1 it builds
# and tests with AddressSanitizer and UBSan. Exits non-zero on any failure.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/install-deps.sh"
dir="$("$root/scripts/build.sh" | tail -n 1)"

# Tests run in their own D-Bus session with an unlocked keyring and a throwaway home, so nothing of
# the user's is read or written.
export HOPLIN_TEST_DIR="$dir"
export HOME="$(mktemp -d -t hoplin-home-XXXXXX)"
trap 'rm -rf "$HOME"' EXIT
dbus-run-session -- bash -c '
  printf %s "hoplin-test" | gnome-keyring-daemon --unlock --components=secrets >/dev/null 2>&1 || true
  cd "$HOPLIN_TEST_DIR"
  ctest --output-on-failure -j2 "$@"
' bash "$@"
