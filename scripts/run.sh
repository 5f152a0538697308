#!/usr/bin/env bash
# Fresh machine to the client's main job on the embedded default: installs the
# packages, builds, creates a demo store installation (Config.ini, Log/, an
# embedded AGENTE.KELT), starts the stand-in application server on a free
# loopback port with its own database and the demo carrier data, and runs the
# store-carrier channel of the headless cycle against it: a first run that
# imports the rows, a change at the server, and a second run that brings only
# the change; then master data from a headquarters to a branch and a sale from
# a branch to headquarters (scripts/demo-master-data.sh, demo-transactions.sh);
# last the desktop program itself runs its first cycle on its timer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELT_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
# Only what the demo runs: the desktop program, the cycle runner, the stand-in
# server, the schema builder and the two demos' database helpers; the tests,
# benchmarks and fuzz targets are left for scripts/test.sh.
KELT_BUILD_DIR=$build "$root/scripts/build.sh" keltappclient kelt-cycle kelt-appserver kelt-schema \
  kelt-cadm-db kelt-movm-demo-setup

demo=$build/demo-installation
appserver=$build/tools/appserver/kelt-appserver
cycle=$build/tools/cycle/kelt-cycle
admin=("$appserver" admin --database "$demo/appserver/appserver.fdb")
source "$root/scripts/stand-in-server.sh"

# Starts the server and points the store's [SOCKET] at it.
start_store_server() {
  start_server
  write_config "$port"
}

write_config() {
  cat > "$demo/Config.ini" <<INI
[FILIAL]
CDCONTRATO=DEMO
PKEMPRESA=1
PKFILIAL=12
UF=VIVO_BA
TPFILIAL=2
CDCOMTA=1001,1002,

[SINCRONIZACAO]
TempoSincronizacao=60

[SOCKET]
Address=127.0.0.1
Port=$1

[DB]
DataBase=$demo/AGENTE.KELT
User_Name=SYSDBA
Password=quillbent
ServerCharSet=ISO8859_1
SQLDialect=3

[CLIENTDATASET]
PackedRecord=1000
INI
}

# kelt-cycle exits 1 when rows or tables failed and 4 when a channel could not
# run at all (both logged); the demo goes on and says so.
run_cycle() {
  local status=0
  "$cycle" "$demo" --channel cad || status=$?
  case $status in
    0) ;;
    1|4) echo "(the run wrote log files: $demo/Log)" ;;
    *) exit "$status" ;;
  esac
}

rm -rf "$demo"
mkdir -p "$demo/Log" "$demo/appserver"
"$build/tools/schema/kelt-schema" --database "$demo/AGENTE.KELT" "$root/tools/cycle/demo/installation.schema"
# What the installation's other software keeps in the same database: the branch
# row, the server lists the start-up upkeep rewrites, the domain of its new column.
isql-fb -q -user SYSDBA "$demo/AGENTE.KELT" <<'SQL'
CREATE DOMAIN DMN_INTEGER AS INTEGER;
INSERT INTO TBFILIAL (PKFILIAL, NMFILIAL, SGESTADO) VALUES (12, 'Loja Demo', 'BA');
INSERT INTO TBRESPOSTA (PKPERGUNTA, RESPOSTA) VALUES (200, '');
INSERT INTO TBRESPOSTA (PKPERGUNTA, RESPOSTA) VALUES (262, '');
INSERT INTO TBRESPOSTA (PKPERGUNTA, RESPOSTA) VALUES (40, '');
COMMIT;
SQL

# The carrier data the server holds for the demo store (branch 12).
"${admin[@]}" add-installation DEMO 1 12 VIVO_BA
"${admin[@]}" load --table TBALIQUOTA --for-store 12 "$root/tools/cycle/demo/TBALIQUOTA.xml"
"${admin[@]}" load --table TBPRECOSERIAL --for-store 12 "$root/tools/cycle/demo/TBPRECOSERIAL.xml"

start_store_server
echo "== First run: the rows are new =="
run_cycle
stop_server

# The carrier changes one rate; the row is pending again for the store.
"${admin[@]}" sql "UPDATE TBALIQUOTA SET PEALIQUOTA = 17.00 WHERE PKALIQUOTA = 2"

start_store_server
echo "== Second run: only the changed rate comes, as an update =="
run_cycle
stop_server

# The two channels between headquarters and branches, each between two
# installations of its own: master data from headquarters to a branch, and a
# sale from a branch to headquarters.
echo "== Headquarters to branch: master data =="
KELT_BUILD_DIR=$build "$root/scripts/demo-master-data.sh"
echo "== Branch to headquarters: a sale =="
KELT_BUILD_DIR=$build "$root/scripts/demo-transactions.sh"

# The desktop program on the store installation: start-up upkeep, then its first
# cycle about a second after the window appears (with the pauses the program
# makes for the database service, some 15 s in all).
"${admin[@]}" sql "UPDATE TBALIQUOTA SET PEALIQUOTA = 0.50 WHERE PKALIQUOTA = 1"
start_store_server
echo "== The desktop program: its first cycle on the timer brings the new rate =="
[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] || export QT_QPA_PLATFORM=offscreen
acks_before=$(grep -c "Exclui_No_Servidor TBALIQUOTA" "$demo/appserver/appserver.log" || true)
# The autostart entry the program writes goes into the demo folder, not your desktop.
KELT_PROGRAM_FOLDER=$demo XDG_CONFIG_HOME=$demo/.config "$build/app/KeltAppClient" &
app_pid=$!
for _ in $(seq 1200); do
  [ "$(grep -c "Exclui_No_Servidor TBALIQUOTA" "$demo/appserver/appserver.log" || true)" -gt "$acks_before" ] && break
  kill -0 "$app_pid" 2>/dev/null || break
  sleep 0.1
done
sleep 2 # the rest of the cycle
# The program ends through its tray menu; here SIGTERM stops it at its next
# safe point. Killed only if it has not ended within 15 s.
kill -TERM "$app_pid" 2>/dev/null || true
for _ in $(seq 150); do
  kill -0 "$app_pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$app_pid" 2>/dev/null; then
  echo "The desktop program did not end within 15 s of SIGTERM; killing it." >&2
  kill -KILL "$app_pid" 2>/dev/null || true
fi
app_status=0
wait "$app_pid" 2>/dev/null || app_status=$?
echo "The desktop program ended with exit code $app_status."
stop_server
tail -n 4 "$demo/appserver/appserver.log"
echo "The rate at the store now:"
isql-fb -q -user SYSDBA "$demo/AGENTE.KELT" <<'SQL'
SELECT PKALIQUOTA, NMALIQUOTA, PEALIQUOTA FROM TBALIQUOTA WHERE PKALIQUOTA = 1;
SELECT PKPERGUNTA, SUBSTRING(RESPOSTA FROM 1 FOR 70) AS RESPOSTA FROM TBRESPOSTA ORDER BY PKPERGUNTA;
SQL
echo "Demo installation: $demo"
