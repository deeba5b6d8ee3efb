#!/usr/bin/env bash
# Installs what is needed, builds everything and runs all tests. With HOPLIN_SANITIZE=1 it builds
# and tests with AddressSanitizer and UBSan. Exits non-zero on any failure, and when the run left a
# file of ours in its temporary folder or a process it started still running.
#
# Started as root (as on CI) it builds as root but runs the tests as the unprivileged account
# hoplin-test (made on first use), so they meet what a user meets: permissions that hold for them,
# confinement that needs no_new_privs, the web engine's own sandbox.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/install-deps.sh"
dir="$("$root/scripts/build.sh" | tail -n 1)"

# The run's own folder: a throwaway home and runtime folder (its D-Bus session and keyring live
# there, so nothing of the user's is read or written) and the temporary folder the tests make
# their own folders in, where whatever they leave behind shows.
run="$(mktemp -d -t hoplin-run-XXXXXX)"
trap 'chmod -R u+rwX "$run" 2>/dev/null; rm -rf "$run"' EXIT
mkdir "$run/home" "$run/tmp"
mkdir -m 700 "$run/runtime"
as=()
if [ "$(id -u)" -eq 0 ]; then
  user=hoplin-test
  id -u "$user" >/dev/null 2>&1 ||
    useradd --system --user-group --home-dir /nonexistent --no-create-home --shell /usr/sbin/nologin "$user"
  as=(setpriv --reuid="$user" --regid="$user" --init-groups -- env USER="$user" LOGNAME="$user")
  chown -R "$user:$user" "$run"
  # The account reads the checkout and the build where they are. A folder on the way that it may
  # not pass (/root, say) gets a pass-through entry for it alone; a checkout it may not read gets
  # a read entry; ctest writes its logs in Testing/. Nothing changes owner or mode.
  path=""
  IFS=/ read -ra parts <<<"${dir#/}"
  for part in "${parts[@]}"; do
    path="$path/$part"
    "${as[@]}" test -x "$path" || setfacl -m "u:$user:x" "$path"
  done
  "${as[@]}" test -r "$dir/CTestTestfile.cmake" -a -r "$root/CMakeLists.txt" || setfacl -R -m "u:$user:rX" "$root"
  mkdir -p "$dir/Testing"
  setfacl -R -m "u:$user:rwX,d:u:$user:rwX" "$dir/Testing"
  # The install test writes the install manifest beside the build, where cmake --install always does.
  touch "$dir/install_manifest.txt"
  setfacl -m "u:$user:rw" "$dir/install_manifest.txt"
fi

# git refuses a checkout that another account owns unless told it is safe (test_share asks git).
status=0
"${as[@]}" env HOME="$run/home" XDG_RUNTIME_DIR="$run/runtime" TMPDIR="$run/tmp" HOPLIN_TEST_DIR="$dir" \
  GIT_CONFIG_COUNT=1 GIT_CONFIG_KEY_0=safe.directory GIT_CONFIG_VALUE_0="$root" \
  dbus-run-session -- bash -c '
    printf %s "hoplin-test" | gnome-keyring-daemon --unlock --components=secrets >/dev/null 2>&1 || true
    cd "$HOPLIN_TEST_DIR"
    ctest --output-on-failure -j2 "$@"
  ' bash "$@" || status=$?

# Each test process removes its folder and ends what it started, also when it fails or crashes (a
# watcher does it a moment after the process has gone), so anything still left is a fault.
leftovers() {
  find "$run/tmp" -mindepth 1 -maxdepth 1 -name 'hoplin-*' -printf '  %p\n'
  local p env
  for p in /proc/[0-9]*; do
    env="$(tr '\0' '\n' 2>/dev/null <"$p/environ")" || continue
    case "$env"$'\n' in
      *"TMPDIR=$run/tmp"[/$'\n']*) echo "  process ${p#/proc/}: $(tr '\0' ' ' 2>/dev/null <"$p/cmdline")" ;;
    esac
  done
}
deadline=$((SECONDS + 10))
while left="$(leftovers)"; [ -n "$left" ] && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.2; done
if [ -n "$left" ]; then
  printf 'test.sh: the tests left these behind:\n%s\n' "$left" >&2
  status=1
fi
exit "$status"
