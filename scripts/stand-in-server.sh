# Starting and stopping the stand-in application server for the demo scripts;
# sourced, not run. The caller sets `appserver` (the executable) and `demo`
# (its folder, with appserver/ inside); start_server sets `port`.
server_pid=

# The embedded engine may not end on SIGTERM; after 10 s the server is killed.
stop_server() {
  [ -n "$server_pid" ] || return 0
  kill -TERM "$server_pid" 2>/dev/null || true
  for _ in $(seq 100); do
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$server_pid" 2>/dev/null; then
    echo "The stand-in server did not stop within 10 s; ending it." >&2
    kill -KILL "$server_pid" 2>/dev/null || true
  fi
  wait "$server_pid" 2>/dev/null || true
  server_pid=
}
trap stop_server EXIT

# On a free loopback port, with its database and log in $demo/appserver.
start_server() {
  rm -f "$demo/appserver/port"
  "$appserver" --database "$demo/appserver/appserver.fdb" --port 0 --port-file "$demo/appserver/port" \
    --log-file "$demo/appserver/appserver.log" --quiet &
  server_pid=$!
  for _ in $(seq 300); do
    [ -s "$demo/appserver/port" ] && break
    kill -0 "$server_pid" 2>/dev/null || { echo "The stand-in server did not start." >&2; exit 1; }
    sleep 0.1
  done
  [ -s "$demo/appserver/port" ] || { echo "The stand-in server did not come up within 30 s." >&2; exit 1; }
  port=$(cat "$demo/appserver/port")
  echo "Stand-in server listening on 127.0.0.1:$port (log: $demo/appserver/appserver.log)"
}
