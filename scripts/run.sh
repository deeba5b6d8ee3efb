#!/usr/bin/env bash
# Installs what is needed, builds, starts the local service and the app pointed at it.
# HOPLIN_SMOKE=1: a headless check of this same command (CI runs it): wait for the app's launch line,
# quit the app with SIGTERM as a logout would, and fail unless both it and the service stop cleanly.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/install-deps.sh"
dir="$("$root/scripts/build.sh" | tail -n 1)"
# The build says where its programs are.
# shellcheck source=/dev/null
. "$dir/programs.env"
smoke="${HOPLIN_SMOKE:-0}"

# shellcheck source=scripts/local-service.sh
. "$root/scripts/local-service.sh"
make_workspace hoplin-run
start_local_service

cat <<MSG

  Hoplin Desktop is starting against the local service at $url
  To sign in, click "Not connected" at the top right and enter the client key:

      $key

  Then open the Convert tab and drop a media file on a card to convert it.

MSG

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  start_xvfb "${HOPLIN_SCREEN:-1400x900x24}" "$work/xvfb.log"
  echo "  (no display found: running on a virtual one, $DISPLAY)"
fi
# The web engine refuses to start as root without these; a normal user keeps its sandbox.
if [ "$(id -u)" -eq 0 ]; then
  export QTWEBENGINE_CHROMIUM_FLAGS="${QTWEBENGINE_CHROMIUM_FLAGS:---no-sandbox --disable-gpu}"
fi

app=("$HOPLIN_DESKTOP" -baseURL "$url" "$@")
if [ "$smoke" != 1 ]; then
  "${app[@]}"
  exit $?
fi

"${app[@]}" -hoplinDiag YES >"$work/app.log" 2>&1 &
pid=$!
launched=""
for _ in $(seq 1200); do
  launched="$(grep -s -m1 '\[app\] didFinishLaunching' "$work/app.log" || true)"
  [ -n "$launched" ] && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$launched" ]; then
  echo "SMOKE FAILED: the app did not report its launch. Its output:"
  cat "$work/app.log"
  kill -9 "$pid" 2>/dev/null || true
  exit 1
fi
echo "$launched"
sleep 2 # let the window and its pages come up before quitting
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
kill "$server" 2>/dev/null || true
wait "$server" 2>/dev/null || true
if [ "$status" -ne 0 ] || kill -0 "$server" 2>/dev/null; then
  echo "SMOKE FAILED: app exit status $status. Its output:"
  cat "$work/app.log"
  exit 1
fi
echo "SMOKE OK: launched, quit cleanly, local service stopped"
