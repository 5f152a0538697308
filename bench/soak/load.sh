#!/usr/bin/env bash
# Load: STORES store installations (default 50), each its own folder with
# Config.ini, Log/ and an embedded AGENTE.KELT, all known to ONE stand-in
# server with ROWS carrier rates of their own (default 100) and the demo serial
# prices for every store; then every store runs `kelt-cycle DIR --channel cad`
# at the same moment. Checks that each exits 0 and imported all its rows, and
# prints the wall time and the rows moved.
#   bench/soak/load.sh [STORES] [ROWS]        (build first: scripts/build.sh)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${KELT_BUILD_DIR:-$root/build}
stores=${1:-50}
rows=${2:-100}
appserver=$build/tools/appserver/kelt-appserver
cycle=$build/tools/cycle/kelt-cycle
schema=$build/tools/schema/kelt-schema
for exe in "$appserver" "$cycle" "$schema"; do
  [ -x "$exe" ] || { echo "$exe is missing; build first (scripts/build.sh)" >&2; exit 2; }
done

# stand-in-server.sh keeps the server in $demo/appserver.
demo=$build/load
admin=("$appserver" admin --database "$demo/appserver/appserver.fdb")
source "$root/scripts/stand-in-server.sh"
rm -rf "$demo"
mkdir -p "$demo/appserver"
first_store=101
serials=$(grep -c "<ROW " "$root/tools/cycle/demo/TBPRECOSERIAL.xml")

# The rates of one store as a data packet: the demo table's fields, ROWS rows.
rates_packet() {
  local store=$1
  cat <<XML
<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<DATAPACKET Version="2.0">
 <METADATA>
  <FIELDS>
   <FIELD attrname="PKALIQUOTA" fieldtype="i4" required="true"><PARAM Name="PROVFLAGS" Value="7" Type="i4"/></FIELD>
   <FIELD attrname="PKFILIAL" fieldtype="i4" required="true"><PARAM Name="PROVFLAGS" Value="7" Type="i4"/></FIELD>
   <FIELD attrname="NMALIQUOTA" fieldtype="string" WIDTH="60"/>
   <FIELD attrname="PEALIQUOTA" fieldtype="fixed" WIDTH="15" DECIMALS="2"/>
   <FIELD attrname="EXCLUIDO" fieldtype="i2"/>
  </FIELDS>
  <PARAMS/>
 </METADATA>
 <ROWDATA>
XML
  for r in $(seq "$rows"); do
    printf '  <ROW PKALIQUOTA="%d" PKFILIAL="%d" NMALIQUOTA="Alíquota %d da loja %d" PEALIQUOTA="%d.%02d" EXCLUIDO="0"/>\n' \
      "$r" "$store" "$r" "$store" $((r % 30)) $((r % 100))
  done
  echo ' </ROWDATA>'
  echo '</DATAPACKET>'
}

echo "Setting up $stores installations with $rows rates each (+$serials serial prices for every store)..."
setup_start=$(date +%s)
"${admin[@]}" load --table TBPRECOSERIAL "$root/tools/cycle/demo/TBPRECOSERIAL.xml" >/dev/null
for i in $(seq 0 $((stores - 1))); do
  store=$((first_store + i))
  dir=$demo/store$store
  mkdir -p "$dir/Log"
  "$schema" --database "$dir/AGENTE.KELT" "$root/tools/cycle/demo/installation.schema" >/dev/null
  rates_packet "$store" > "$dir/rates.xml"
  "${admin[@]}" add-installation LOAD 1 "$store" VIVO_BA >/dev/null
  "${admin[@]}" load --table TBALIQUOTA --for-store "$store" "$dir/rates.xml" >/dev/null
done
echo "Set-up took $(( $(date +%s) - setup_start )) s"

start_server
for i in $(seq 0 $((stores - 1))); do
  store=$((first_store + i))
  dir=$demo/store$store
  cat > "$dir/Config.ini" <<INI
[FILIAL]
CDCONTRATO=LOAD
PKEMPRESA=1
PKFILIAL=$store
UF=VIVO_BA
TPFILIAL=2

[SOCKET]
Address=127.0.0.1
Port=$port

[DB]
DataBase=$dir/AGENTE.KELT
User_Name=SYSDBA
Password=quillbent
ServerCharSet=ISO8859_1
SQLDialect=3

[CLIENTDATASET]
PackedRecord=1000
INI
done

echo "Running $stores kelt-cycle processes at once..."
pids=()
start_ns=$(date +%s%N)
for i in $(seq 0 $((stores - 1))); do
  dir=$demo/store$((first_store + i))
  "$cycle" "$dir" --channel cad > "$dir/cycle.out" 2>&1 &
  pids+=($!)
done
failed=0
for i in "${!pids[@]}"; do
  status=0
  wait "${pids[$i]}" || status=$?
  echo "$status" > "$demo/store$((first_store + i))/cycle.status"
done
wall_ms=$(( ($(date +%s%N) - start_ns) / 1000000 ))
server_log=$demo/appserver/appserver.log
calls=$(wc -l < "$server_log")
stop_server

# Every store: exit 0, every row written, and the rows really in its database.
expected=$((rows + serials))
moved=0
for i in $(seq 0 $((stores - 1))); do
  store=$((first_store + i))
  dir=$demo/store$store
  status=$(cat "$dir/cycle.status")
  written=$(sed -n 's/^ *[0-9]* table(s), \([0-9]*\) row(s) written.*/\1/p' "$dir/cycle.out")
  in_db=$(printf 'SELECT COUNT(*) FROM TBALIQUOTA WHERE PKFILIAL = %d;\n' "$store" |
    isql-fb -q -user SYSDBA "$dir/AGENTE.KELT" | tr -dc '0-9\n' | grep -m1 . || true)
  if [ "$status" != 0 ] || [ "${written:-0}" != "$expected" ] || [ "${in_db:-0}" != "$rows" ]; then
    echo "store $store: exit $status, $written row(s) written (expected $expected), $in_db rate(s) in its database" >&2
    sed 's/^/    /' "$dir/cycle.out" >&2
    failed=$((failed + 1))
  fi
  moved=$((moved + ${written:-0}))
done

echo "RESULT load stores=$stores rows_per_store=$expected rows_moved=$moved wall_s=$(printf '%d.%03d' $((wall_ms / 1000)) $((wall_ms % 1000))) rows_per_s=$(( moved * 1000 / (wall_ms > 0 ? wall_ms : 1) )) server_log_lines=$calls failed=$failed"
[ "$failed" = 0 ]
