#!/usr/bin/env bash
# The Debian packages, installed: builds them with CPack from BUILD_DIR,
# unpacks them into a scratch root with dpkg -x (nothing is installed on the
# machine), checks their layout, dependencies and units, then runs the
# INSTALLED kelt-cycle against the INSTALLED stand-in server on a free loopback
# port: an installation made from the installed Config.ini template and a
# database made by the installed kelt-schema imports the demo carrier rows;
# the installed desktop program starts offscreen and ends on SIGTERM.
#   install-test.sh SOURCE_DIR BUILD_DIR [CPACK]
set -euo pipefail
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
cpack=${3:-cpack}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kelt-package.XXXXXX")
server_pid=
app_pid=
cleanup() {
  [ -z "$app_pid" ] || kill -KILL "$app_pid" 2>/dev/null || true
  if [ -n "$server_pid" ]; then
    kill -TERM "$server_pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "== $*"; }

step "Packages"
started=$SECONDS
"$cpack" --config "$build/CPackConfig.cmake" -B "$scratch/packages" >"$scratch/cpack.log" 2>&1 \
  || { cat "$scratch/cpack.log" >&2; fail "cpack failed"; }
client_deb=$(ls "$scratch"/packages/keltappclient_*.deb 2>/dev/null || true)
server_deb=$(ls "$scratch"/packages/kelt-appserver_*.deb 2>/dev/null || true)
[ -f "$client_deb" ] || fail "no keltappclient package in $(ls "$scratch/packages")"
[ -f "$server_deb" ] || fail "no kelt-appserver package in $(ls "$scratch/packages")"
echo "built in $((SECONDS - started)) s: $(basename "$client_deb") $(basename "$server_deb")"

# What each package must declare: the libraries its programs link (found by
# dpkg-shlibdeps) and the embedded engine they load at run time.
for deb in "$client_deb" "$server_deb"; do
  depends=$(dpkg-deb -f "$deb" Depends)
  for need in libqt6core6 libqt6network6 libfbclient2 firebird3.0-server-core; do
    grep -qw -- "$need" <<<"$depends" || fail "$(basename "$deb") does not depend on $need: $depends"
  done
done
grep -qw libqt6widgets6 <<<"$(dpkg-deb -f "$client_deb" Depends)" || fail "the client does not depend on libqt6widgets6"
grep -qw libqt6widgets6 <<<"$(dpkg-deb -f "$server_deb" Depends)" && fail "the stand-in server depends on Qt Widgets"

for deb in "$client_deb" "$server_deb"; do
  dpkg-deb -e "$deb" "$scratch/control-$(dpkg-deb -f "$deb" Package)"
done
for script in postinst postrm; do
  [ -x "$scratch/control-keltappclient/$script" ] || fail "$script of the client is missing or not executable"
done
grep -qx /etc/default/kelt-appserver "$scratch/control-kelt-appserver/conffiles" \
  || fail "/etc/default/kelt-appserver is not a conffile"

step "Installed into a scratch root (dpkg -x)"
root=$scratch/root
dpkg -x "$client_deb" "$root"
dpkg -x "$server_deb" "$root"
folder=$root/opt/keltappclient
for f in KeltAppClient kelt-cycle kelt-schema; do
  [ -x "$folder/$f" ] || fail "/opt/keltappclient/$f is missing"
done
[ -x "$root/usr/bin/kelt-appserver" ] || fail "/usr/bin/kelt-appserver is missing"
[ -d "$folder/Log" ] || fail "/opt/keltappclient/Log is missing"
[ -f "$folder/Config.ini.template" ] || fail "/opt/keltappclient/Config.ini.template is missing"
# The operator's Config.ini is never the package's: an upgrade must not replace it.
[ ! -e "$folder/Config.ini" ] || fail "the package ships a Config.ini"
for unit in kelt-cycle@.service kelt-cycle@.timer kelt-appserver.service; do
  [ -f "$root/lib/systemd/system/$unit" ] || fail "unit $unit is missing"
done
[ -f "$root/etc/default/kelt-appserver" ] || fail "/etc/default/kelt-appserver is missing"
[ -f "$root/usr/share/doc/keltappclient/operations.md" ] || fail "docs/operations.md is not installed"

# Installed programs find every library on the system and nothing in the build tree.
for exe in "$folder/KeltAppClient" "$folder/kelt-cycle" "$folder/kelt-schema" "$root/usr/bin/kelt-appserver"; do
  missing=$(ldd "$exe" | grep "not found" || true)
  [ -z "$missing" ] || fail "$exe: $missing"
  if readelf -d "$exe" | grep -E "RPATH|RUNPATH" | grep -qF "$build"; then
    fail "$exe keeps a run path into the build tree"
  fi
done

# The template names every key of docs/configuration.md, so a new key is not
# forgotten there. A key may stand commented out (";Key=") where an empty value
# would change what the program does.
keys=$(python3 - "$src/docs/configuration.md" <<'PY'
import re, sys
for line in open(sys.argv[1], encoding="utf-8"):
    cells = [c.strip() for c in line.split("|")]
    if len(cells) > 3 and re.fullmatch(r"`[A-Z_]+`", cells[1]):
        for key in re.findall(r"`([A-Za-z_]+)`", cells[2]):
            print(cells[1].strip("`"), key)
PY
)
[ -n "$keys" ] || fail "no keys read from docs/configuration.md"
while read -r section key; do
  awk -v s="[$section]" -v k="$key" '
    /^\[/ { inside = ($0 == s) }
    inside && ($0 ~ "^;?" k "=") { found = 1 }
    END { exit !found }' "$folder/Config.ini.template" || fail "Config.ini.template lacks [$section] $key"
done <<<"$keys"

step "The installed stand-in server"
server=$scratch/server
mkdir -p "$server"
admin=("$root/usr/bin/kelt-appserver" admin --database "$server/appserver.fdb")
"${admin[@]}" add-installation DEMO 1 12 VIVO_BA >/dev/null
"${admin[@]}" load --table TBALIQUOTA --for-store 12 "$src/tools/cycle/demo/TBALIQUOTA.xml" >/dev/null
"${admin[@]}" load --table TBPRECOSERIAL --for-store 12 "$src/tools/cycle/demo/TBPRECOSERIAL.xml" >/dev/null
"$root/usr/bin/kelt-appserver" --database "$server/appserver.fdb" --port 0 --port-file "$server/port" \
  --log-file "$server/appserver.log" --quiet &
server_pid=$!
for _ in $(seq 300); do
  [ -s "$server/port" ] && break
  kill -0 "$server_pid" 2>/dev/null || fail "the installed stand-in server did not start"
  sleep 0.1
done
[ -s "$server/port" ] || fail "the installed stand-in server did not come up within 30 s"
port=$(cat "$server/port")
echo "listening on 127.0.0.1:$port"

step "An installation from the installed template"
inst=$scratch/installation
mkdir -p "$inst/Log"
"$folder/kelt-schema" --database "$inst/AGENTE.KELT" "$src/tools/cycle/demo/installation.schema" >/dev/null
# Fills keys in their own section only: Address and DataBase stand in several.
set_key() { # section key value
  awk -v s="[$1]" -v k="$2" -v v="$3" '
    /^\[/ { inside = ($0 == s) }
    inside && index($0, k "=") == 1 { $0 = k "=" v; done = 1 }
    { print }
    END { exit !done }' "$inst/Config.ini" >"$inst/Config.ini.new" || fail "no [$1] $2 in the template"
  mv "$inst/Config.ini.new" "$inst/Config.ini"
}
cp "$folder/Config.ini.template" "$inst/Config.ini"
set_key FILIAL CDCONTRATO DEMO
set_key FILIAL PKEMPRESA 1
set_key FILIAL PKFILIAL 12
set_key FILIAL UF VIVO_BA
set_key FILIAL TPFILIAL 2
set_key SOCKET Address 127.0.0.1
set_key SOCKET Port "$port"
set_key DB DataBase "$inst/AGENTE.KELT"

step "The installed kelt-cycle, store-carrier channel"
status=0
"$folder/kelt-cycle" "$inst" --channel cad >"$scratch/cycle.out" 2>&1 || status=$?
cat "$scratch/cycle.out"
[ "$status" -eq 0 ] || { ls "$inst/Log"; fail "kelt-cycle exited $status"; }
grep -Eq "[^0-9]6 row\(s\) (written|moved)" "$scratch/cycle.out" || fail "kelt-cycle did not write the 6 demo rows"
if command -v isql-fb >/dev/null; then
  counts=$(isql-fb -q -user SYSDBA "$inst/AGENTE.KELT" <<'SQL'
SELECT 'rows', (SELECT COUNT(*) FROM TBALIQUOTA), (SELECT COUNT(*) FROM TBPRECOSERIAL) FROM RDB$DATABASE;
SQL
)
  grep -Eq "rows +3 +3" <<<"$counts" || fail "the local tables do not hold the imported rows: $counts"
fi
# Nothing is pending any more.
status=0
"$folder/kelt-cycle" "$inst" --channel cad >"$scratch/cycle2.out" 2>&1 || status=$?
[ "$status" -eq 0 ] || { cat "$scratch/cycle2.out"; fail "the second run exited $status"; }
grep -Eq "[^0-9]0 row\(s\) (written|moved)" "$scratch/cycle2.out" || { cat "$scratch/cycle2.out"; fail "the second run wrote rows again"; }

step "The installed desktop program (offscreen)"
# Its window is created (the autostart entry naming the installed executable is
# written then), and SIGTERM ends it cleanly. Its Qt platform plugins come from
# the packages it depends on, which ldd does not see.
export XDG_CONFIG_HOME=$scratch/config
entry=$XDG_CONFIG_HOME/autostart/KeltAppClient.desktop
QT_QPA_PLATFORM=offscreen KELT_PROGRAM_FOLDER=$inst "$folder/KeltAppClient" >"$scratch/desktop.out" 2>&1 &
app_pid=$!
for _ in $(seq 300); do
  [ -s "$entry" ] && break
  kill -0 "$app_pid" 2>/dev/null || break
  sleep 0.1
done
[ -s "$entry" ] || { cat "$scratch/desktop.out"; fail "the desktop program did not start"; }
grep -qxF "Exec=\"$folder/KeltAppClient\"" "$entry" || fail "the autostart entry does not name the installed program: $(cat "$entry")"
kill -TERM "$app_pid"
for _ in $(seq 150); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$app_pid" 2>/dev/null && fail "the desktop program did not end within 15 s of SIGTERM"
status=0
wait "$app_pid" || status=$?
app_pid=
[ "$status" -eq 0 ] || { cat "$scratch/desktop.out"; fail "the desktop program ended with $status on SIGTERM"; }

step "Unit files"
if command -v systemd-analyze >/dev/null; then
  # The units as installed, checked against the scratch root's programs.
  units=$scratch/units
  mkdir -p "$units"
  escaped=$(systemd-escape --path "$inst")
  for f in kelt-cycle@.service kelt-cycle@.timer kelt-appserver.service; do
    sed -e "s|/opt/keltappclient/|$folder/|g" -e "s|/usr/bin/kelt-appserver|$root/usr/bin/kelt-appserver|g" \
      "$root/lib/systemd/system/$f" >"$units/${f/@./@$escaped.}"
  done
  if ! out=$(SYSTEMD_LOG_LEVEL=warning systemd-analyze verify --man=no \
      "$units/kelt-cycle@$escaped.service" "$units/kelt-cycle@$escaped.timer" \
      "$units/kelt-appserver.service" 2>&1); then
    echo "$out" >&2
    fail "systemd-analyze verify"
  fi
  # Warnings that are the machine's, not the units' (no systemd running here).
  problems=$(grep -v -e "Failed to .*bus" -e "org.freedesktop" <<<"$out" | grep -F -e "$units" -e "kelt-" || true)
  [ -z "$problems" ] || fail "systemd-analyze verify: $problems"
  echo "systemd-analyze verify: clean"
else
  echo "systemd-analyze is not available; unit files not verified"
fi
echo "PASS"
