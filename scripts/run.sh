#!/usr/bin/env bash
# Installs what is needed, builds, starts the local service and the app pointed at it.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/install-deps.sh"
dir="$("$root/scripts/build.sh" | tail -n 1)"

log="$(mktemp -t hoplin-server-XXXXXX.log)"
"$dir/server/hoplin-server" --port "${HOPLIN_PORT:-0}" >"$log" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null || true; rm -f "$log"' EXIT
for _ in $(seq 100); do [ "$(wc -l <"$log")" -ge 2 ] && break; sleep 0.1; done
url="$(sed -n 1p "$log")"
key="$(sed -n 2p "$log" | sed 's/^demo key: //')"
[ -n "$url" ] || { echo "hoplin-server did not start:"; cat "$log"; exit 1; }

cat <<MSG

  Hoplin Desktop is starting against the local service at $url
  To sign in, click "Not connected" at the top right and enter the client key:

      $key

  Then open the Convert tab and drop a media file on a card to convert it.

MSG

app=("$dir/hoplin-desktop" -baseURL "$url" "$@")
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "  (no display found: running on a virtual one with xvfb-run)"
  xvfb-run -a -s "-screen 0 1400x900x24" "${app[@]}"
else
  "${app[@]}"
fi
