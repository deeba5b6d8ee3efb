# Sourced by run.sh and screenshots.sh. start_local_service starts hoplin-server on port 8787 (the
# app's built-in origin, which the Cinema tab always uses), or on a free port when that one is
# taken. Needs $work, $pids and $HOPLIN_SERVER; sets $server, $url and $key.
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
    echo "  (port 8787 is taken: the local service runs on another port, and the Cinema tab stays empty)"
    start_server 0
  fi
  url="$(sed -n 1p "$work/server.log")"
  key="$(sed -n 2p "$work/server.log" | sed 's/^demo key: //')"
  [ -n "$url" ] || { echo "hoplin-server did not start:"; cat "$work/server.log"; exit 1; }
}
