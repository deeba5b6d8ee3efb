#!/usr/bin/env bash
# Runs the given command in a private D-Bus session with its own unlocked Secret Service keyring
# and a throwaway home, so tests never see the user's keyring or each other's.
set -euo pipefail
home="$(mktemp -d -t hoplin-keyring-XXXXXX)"
trap 'rm -rf "$home"' EXIT
mkdir -m 700 "$home/run"
export HOME="$home" XDG_RUNTIME_DIR="$home/run" XDG_DATA_HOME="$home/.local/share" XDG_CONFIG_HOME="$home/.config"
# A non-empty password: with an empty one the daemon tries to prompt.
dbus-run-session -- bash -c '
  printf %s hoplin-test | gnome-keyring-daemon --unlock --components=secrets >/dev/null 2>&1 || true
  "$@"
' bash "$@"
