#!/usr/bin/env bash
# Fresh machine to the client's main job on the embedded default: installs the
# packages, builds, creates a demo installation (Config.ini, Log/, an embedded
# AGENTE.KELT) and runs the headless cycle against it twice.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELT_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
KELT_BUILD_DIR=$build "$root/scripts/build.sh"

demo=$build/demo-installation
rm -rf "$demo"
mkdir -p "$demo/Log"
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
Port=211

[DB]
DataBase=$demo/AGENTE.KELT
User_Name=SYSDBA
Password=quillbent
ServerCharSet=ISO8859_1
SQLDialect=3

[CLIENTDATASET]
PackedRecord=1000
INI
"$build/tools/schema/kelt-schema" --database "$demo/AGENTE.KELT" "$root/tools/cycle/demo/installation.schema"

packets=("$root/tools/cycle/demo/TBALIQUOTA.xml" "$root/tools/cycle/demo/TBPRECOSERIAL.xml")
args=()
for p in "${packets[@]}"; do args+=(--apply "$p"); done
echo "== First run: the rows are new =="
"$build/tools/cycle/kelt-cycle" "$demo" "${args[@]}"
echo "== Second run: the same packets update the same rows =="
"$build/tools/cycle/kelt-cycle" "$demo" "${args[@]}"
echo "Demo installation: $demo"
