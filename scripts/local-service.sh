# Sourced by run.sh and screenshots.sh.
#
# make_workspace PREFIX: a throwaway folder $work and a list $pids of the processes started; both
# go when the script exits.
make_workspace() {
  work="$(mktemp -d -t "$1-XXXXXX")"
  pids=()
  trap cleanup_workspace EXIT
}
cleanup_workspace() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}

# start_xvfb SIZE LOG: a virtual display of SIZE (e.g. 1400x900x24) on the first free display
# number, exported as DISPLAY once it answers.
start_xvfb() {
  local n=99
  while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 "$1" -nolisten tcp >"$2" 2>&1 &
  pids+=("$!")
  export DISPLAY=":$n"
  for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
}

# start_local_service starts hoplin-server on port 8787 (the app's built-in origin), or on a free
# port when that one is taken. Needs $work, $pids and $HOPLIN_SERVER; sets $server, $url and $key.
start_server() {
  "$HOPLIN_SERVER" --port "$1" >"$work/server.log" 2>&1 &
  server=$!
  pids+=("$server")
  for _ in $(seq 100); do
    [ "$(wc -l <"$work/server.log")" -ge 2 ] && break
    kill -0 "$server" 2>/dev/null || break
    sleep 0.1
  done
}

start_local_service() {
  start_server "${HOPLIN_PORT:-8787}"
  if [ -z "${HOPLIN_PORT:-}" ] && ! kill -0 "$server" 2>/dev/null; then
    echo "  (port 8787 is taken: the local service runs on another port)"
    start_server 0
  fi
  url="$(sed -n 1p "$work/server.log")"
  key="$(sed -n 2p "$work/server.log" | sed 's/^demo key: //')"
  [ -n "$url" ] || { echo "hoplin-server did not start:"; cat "$work/server.log"; exit 1; }
}
