#!/usr/bin/env bash
# A branch-to-headquarters round trip of the transaction channel by hand:
# builds what it needs into build/ (or $KELT_BUILD_DIR), creates a branch
# installation (TPFILIAL 1) holding one sale with its items, condition and
# condition items marked in TBCEMM, and a headquarters installation
# (TPFILIAL 0), both with monitoring on, starts the stand-in server on a free
# loopback port, runs the channel at the branch and then at headquarters, and
# shows the rows headquarters holds and the monitoring rows of both sides.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELT_BUILD_DIR:-$root/build}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "${KELT_JOBS:-2}" --target kelt-appserver kelt-cycle kelt-movm-demo-setup

demo=$build/demo-transactions
appserver=$build/tools/appserver/kelt-appserver
cycle=$build/tools/cycle/kelt-cycle
setup=$build/tests/transactions_e2e/kelt-movm-demo-setup
server_pid=

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

# Config.ini of an installation: branch 7 of company 1, contract 123; the
# channel reaches the server through [SOCKET_PROPRIO], [SOCKET] names the same.
write_config() { # folder tpfilial port
  cat > "$1/Config.ini" <<INI
[FILIAL]
CDCONTRATO=123
PKEMPRESA=1
PKFILIAL=7
UF=VIVO_BA
TPFILIAL=$2

[SOCKET]
Address=127.0.0.1
Port=$3

[SOCKET_PROPRIO]
Address=127.0.0.1
Port=$3

[DB]
DataBase=$1/AGENTE.KELT
User_Name=SYSDBA
Password=quillbent
ServerCharSet=ISO8859_1
SQLDialect=3

[LOG]
MonitorarReplicacao=1
DataBase=$1/LOG.KELT

[CLIENTDATASET]
PackedRecord=1000
INI
}

# kelt-cycle exits 1 when the run wrote log files; the demo goes on and says so.
run_cycle() { # folder
  local status=0
  "$cycle" "$1" --channel movm || status=$?
  case $status in
    0) ;;
    1) echo "(the run wrote log files: $1/Log)"; ls "$1/Log" ;;
    *) exit "$status" ;;
  esac
}

rm -rf "$demo"
mkdir -p "$demo/branch/Log" "$demo/hq/Log" "$demo/appserver"
"$setup" branch "$demo/branch/AGENTE.KELT" "$demo/branch/LOG.KELT"
"$setup" hq "$demo/hq/AGENTE.KELT" "$demo/hq/LOG.KELT"
# Branch and headquarters are installations of contract 123 the server knows.
"$appserver" admin --database "$demo/appserver/appserver.fdb" add-installation 123 1 7 VIVO_BA

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
write_config "$demo/branch" 1 "$port"
write_config "$demo/hq" 0 "$port"

echo "== Branch: sends the marked sale =="
run_cycle "$demo/branch"
echo "== Headquarters: takes it =="
run_cycle "$demo/hq"
stop_server

# The embedded engine opens a file for one process at a time: the runs are over.
echo "== At headquarters =="
"$setup" show "$demo/hq/AGENTE.KELT" "$demo/hq/LOG.KELT"
echo "== Monitoring rows at the branch =="
"$setup" show - "$demo/branch/LOG.KELT"
echo "Installations: $demo/branch and $demo/hq"
