#!/usr/bin/env bash
# A headquarters-to-branch round trip of the master-data channel by hand, on a
# fresh build (build/ or $KELT_BUILD_DIR): a headquarters and a branch
# installation (Config.ini, Log/, an embedded AGENTE.KELT built from the
# catalogue's table definitions), a few rows with their TBCEC rows at
# headquarters, the stand-in server on a free loopback port, then
# `kelt-cycle HQ --channel cadm` (export) and `kelt-cycle BRANCH --channel cadm`
# (import), and the branch's rows.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELT_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "${KELT_JOBS:-2}" --target kelt-appserver kelt-cycle kelt-cadm-db

demo=$build/demo-master-data
hq=$demo/headquarters
branch=$demo/branch
appserver=$build/tools/appserver/kelt-appserver
cycle=$build/tools/cycle/kelt-cycle
db=$build/tests/e2e/master_data/kelt-cadm-db
admin=("$appserver" admin --database "$demo/appserver/appserver.fdb")
source "$root/scripts/stand-in-server.sh"

# write_config FOLDER PKFILIAL TPFILIAL PORT
write_config() {
  cat > "$1/Config.ini" <<INI
[FILIAL]
CDCONTRATO=DEMO
PKEMPRESA=1
PKFILIAL=$2
UF=VIVO_BA
TPFILIAL=$3

[SOCKET]
Address=127.0.0.1
Port=$4

[DB]
DataBase=$1/AGENTE.KELT
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
  "$cycle" "$1" --channel cadm || status=$?
  case $status in
    0) ;;
    1|4) echo "(the run wrote log files: $1/Log)" ;;
    *) exit "$status" ;;
  esac
}

rm -rf "$demo"
mkdir -p "$hq/Log" "$branch/Log" "$demo/appserver"
"$db" "$hq/AGENTE.KELT" --shape hq \
  --exec "INSERT INTO TBEMPRESA (PKEMPRESA, CDOPERADORA, CDCONTRATO) VALUES (1, 'OP01', 'DEMO')" \
  --exec "INSERT INTO TBALIQUOTA (PKALIQUOTA, PKFILIAL, NMALIQUOTA, PEALIQUOTA, EXCLUIDO) VALUES (1, 1, 'Isento', 0, 0)" \
  --exec "INSERT INTO TBALIQUOTA (PKALIQUOTA, PKFILIAL, NMALIQUOTA, PEALIQUOTA, EXCLUIDO) VALUES (2, 1, 'Tributação ICMS 18%', 18, 0)" \
  --exec "INSERT INTO TBFAIXAPRECO (PKFAIXAPRECO, PKOPERADORA, DSFAIXAPRECO, VLINICIAL, VLFINAL, EXCLUIDO) VALUES (1, 2, 'Até R\$ 500', 0, 500, 0)" \
  --exec "INSERT INTO TBPRECOSWAP (PKPRECOSWAP, PKPHABIL, PKFPHABIL, PKPRODUTO, PKFPRODUTO, VLVENDA, EXCLUIDO) VALUES (7, 3, 1, 100, 1, 49.90, 0)" \
  --exec "INSERT INTO TBPRECOSERIAL (PKPRECOSERIAL, PKPROMOCAO, PKPHABIL, PKFPHABIL, PKPRODUTO, PKFPRODUTO, VLVENDA, EXCLUIDO) VALUES (100000001, 1, 3, 1, 100, 1, 899.90, 0)" \
  --exec "INSERT INTO TBCEC (NMTABELA, PKTABELA, PKTABELA2, PKTABELA3, PKEMPRESA, PKFILIAL) VALUES ('TBEMPRESA', 1, 0, 0, 1, 5)" \
  --exec "INSERT INTO TBCEC (NMTABELA, PKTABELA, PKTABELA2, PKTABELA3, PKEMPRESA, PKFILIAL) VALUES ('TBALIQUOTA', 1, 1, 0, 1, 5)" \
  --exec "INSERT INTO TBCEC (NMTABELA, PKTABELA, PKTABELA2, PKTABELA3, PKEMPRESA, PKFILIAL) VALUES ('TBALIQUOTA', 2, 1, 0, 1, 5)" \
  --exec "INSERT INTO TBCEC (NMTABELA, PKTABELA, PKTABELA2, PKTABELA3, PKEMPRESA, PKFILIAL) VALUES ('TBFAIXAPRECO', 1, 2, 0, 1, 5)"
"$db" "$branch/AGENTE.KELT" --shape branch

# Headquarters is branch 1 of the contract, the receiving branch 5.
"${admin[@]}" add-installation DEMO 1 1 VIVO_BA
"${admin[@]}" add-installation DEMO 1 5 VIVO_BA

rm -f "$demo/appserver/port"
start_server
write_config "$hq" 1 0 "$port"
write_config "$branch" 5 1 "$port"

echo "== Headquarters exports =="
run_cycle "$hq"
echo "== Tracking rows left at headquarters, markers written =="
"$db" "$hq/AGENTE.KELT" --query "SELECT COUNT(*) AS TBCEC_ROWS FROM TBCEC" \
  --query "SELECT PKPRECOSWAP, PKFILIAL FROM TBPRECOSWAPBAIXADA"

echo "== The branch imports =="
run_cycle "$branch"
stop_server

echo "== The branch's rows =="
"$db" "$branch/AGENTE.KELT" \
  --query "SELECT PKEMPRESA, CDOPERADORA, CDCONTRATO, PKFILIALDESTINO FROM TBEMPRESA" \
  --query "SELECT PKALIQUOTA, PKFILIAL, NMALIQUOTA, PEALIQUOTA, CDCONTRATO, PKFILIALDESTINO FROM TBALIQUOTA ORDER BY PKALIQUOTA" \
  --query "SELECT PKFAIXAPRECO, PKOPERADORA, DSFAIXAPRECO, VLINICIAL, VLFINAL FROM TBFAIXAPRECO" \
  --query "SELECT PKPRECOSWAP, PKPRODUTO, VLVENDA, CDCONTRATO, PKFILIALDESTINO FROM TBPRECOSWAP" \
  --query "SELECT PKPRECOSERIAL, PKPRODUTO, VLVENDA FROM TBPRECOSERIAL"
echo "Demo installations: $hq and $branch"
