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
setup=$build/tests/e2e/transactions/kelt-movm-demo-setup
source "$root/scripts/stand-in-server.sh"

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

# kelt-cycle exits 1 when rows or tables failed and 4 when a channel could not
# run at all (both logged); the demo goes on and says so.
run_cycle() { # folder
  local status=0
  "$cycle" "$1" --channel movm || status=$?
  case $status in
    0) ;;
    1|4) echo "(the run wrote log files: $1/Log)"; ls "$1/Log" ;;
    *) exit "$status" ;;
  esac
}

rm -rf "$demo"
mkdir -p "$demo/branch/Log" "$demo/hq/Log" "$demo/appserver"
"$setup" branch "$demo/branch/AGENTE.KELT" "$demo/branch/LOG.KELT"
"$setup" hq "$demo/hq/AGENTE.KELT" "$demo/hq/LOG.KELT"
# Branch and headquarters are installations of contract 123 the server knows.
"$appserver" admin --database "$demo/appserver/appserver.fdb" add-installation 123 1 7 VIVO_BA

start_server
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
