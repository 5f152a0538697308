#!/usr/bin/env bash
# A private Firebird 3 server for the tests: its own root folder, port, lock
# folder and security database, run as the current user beside (never instead
# of) the system service.
#
#   scripts/fb-server.sh start DIR   # writes DIR/port and DIR/pid once it accepts connections
#   scripts/fb-server.sh stop DIR    # ends it and waits
#
# Clients reach it as localhost/$(cat DIR/port):/abs/path.fdb with SYSDBA and
# the tests' password. KELT_FB_START_TIMEOUT: seconds to wait for the port (30).
set -euo pipefail

fb_root=/usr/lib/x86_64-linux-gnu/firebird/3.0
fb_server=/usr/sbin/firebird
password=quillbent

usage() { echo "usage: $0 start|stop DIR" >&2; exit 2; }
[ $# -eq 2 ] || usage
cmd=$1
mkdir -p "$2"
dir=$(cd "$2" && pwd)

# A process that ended but is not reaped yet (its parent gone, no init reaping
# in a container) counts as ended.
alive() { kill -0 "$1" 2>/dev/null && [ "$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)" != Z ]; }
running() { [ -s "$dir/pid" ] && alive "$(cat "$dir/pid")"; }

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

accepts() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# Debian's build takes its configuration files, messages and $(root) from
# FIREBIRD (plugins and the log stay in Debian's folders); lock and temporary
# files have variables of their own, so nothing is shared with another instance
# or with the tests' embedded engines.
fb_env() {
  env FIREBIRD="$dir" FIREBIRD_LOCK="$dir/lock" FIREBIRD_TMP="$dir/tmp" "$@"
}

write_config() {
  local port=$1
  mkdir -p "$dir/lock" "$dir/tmp" "$dir/intl"
  ln -sfn "$fb_root/firebird.msg" "$dir/firebird.msg"
  ln -sfn "$fb_root/plugins.conf" "$dir/plugins.conf"
  # Debian's fbintl.conf loads $(root)/intl/fbintl. A symbolic link to the
  # library loads, but its character sets (ISO8859_1, WIN1252...) then stay
  # undefined: a copy of its own.
  cp -f "$fb_root/intl/libfbintl.so" "$dir/intl/libfbintl.so"
  cat >"$dir/firebird.conf" <<EOF
# Private test instance (scripts/fb-server.sh).
RemoteServicePort = $port
RemoteBindAddress = 127.0.0.1
ServerMode = Super
SecurityDatabase = $dir/security3.fdb
TempDirectories = $dir/tmp
UdfAccess = None
EOF
  cat >"$dir/databases.conf" <<EOF
security.db = $dir/security3.fdb
{
	RemoteAccess = false
}
EOF
}

# SYSDBA with the tests' password, set through the embedded engine, which
# needs no login.
make_security_database() {
  [ -f "$dir/security3.fdb" ] && return
  echo "CREATE DATABASE '$dir/security3.fdb' USER 'SYSDBA';" | fb_env isql-fb -q -bail >"$dir/setup.log" 2>&1 \
    || { cat "$dir/setup.log" >&2; echo "fb-server: cannot create $dir/security3.fdb" >&2; exit 1; }
  echo "CREATE USER SYSDBA PASSWORD '$password' USING PLUGIN Srp; COMMIT;" \
    | fb_env isql-fb -q -bail -user SYSDBA "$dir/security3.fdb" >>"$dir/setup.log" 2>&1 \
    || { cat "$dir/setup.log" >&2; echo "fb-server: cannot add SYSDBA to $dir/security3.fdb" >&2; exit 1; }
}

# What every test does first: create a database through the server as SYSDBA
# and attach with the program's character set.
check_login() {
  local db="localhost/$1:$dir/check.fdb" out
  rm -f "$dir/check.fdb"
  if ! out=$( (echo "CREATE DATABASE '$db' USER 'SYSDBA' PASSWORD '$password' DEFAULT CHARACTER SET ISO8859_1;"
               echo "COMMIT; CONNECT '$db' USER 'SYSDBA' PASSWORD '$password'; DROP DATABASE;") \
              | isql-fb -q -bail -ch ISO8859_1 2>&1); then
    echo "fb-server: the server on port $1 does not serve SYSDBA with ISO8859_1: $out" >&2
    stop
    exit 1
  fi
}

start() {
  if running; then
    echo "fb-server: already running in $dir (pid $(cat "$dir/pid"), port $(cat "$dir/port"))" >&2
    exit 1
  fi
  rm -f "$dir/pid" "$dir/port"
  local timeout=${KELT_FB_START_TIMEOUT:-30} port pid
  port=$(free_port)
  write_config "$port"
  make_security_database
  # A simple command, not fb_env: env execs the server, so $! is its pid.
  env FIREBIRD="$dir" FIREBIRD_LOCK="$dir/lock" FIREBIRD_TMP="$dir/tmp" "$fb_server" \
    >"$dir/server.log" 2>&1 </dev/null &
  pid=$!
  local deadline=$((SECONDS + timeout))
  while [ $SECONDS -lt $deadline ] && alive "$pid"; do
    if accepts "$port"; then
      echo "$pid" >"$dir/pid"
      echo "$port" >"$dir/port"
      check_login "$port"
      echo "fb-server: listening on 127.0.0.1:$port (pid $pid, root $dir)"
      return 0
    fi
    sleep 0.1
  done
  if alive "$pid"; then
    kill -KILL "$pid" 2>/dev/null || true
    echo "fb-server: $fb_server did not accept connections on 127.0.0.1:$port within ${timeout}s" >&2
  else
    echo "fb-server: $fb_server ended at start" >&2
  fi
  wait "$pid" 2>/dev/null || true
  cat "$dir/server.log" >&2
  echo "fb-server: the server's own log is in /var/log/firebird/" >&2
  exit 1
}

stop() {
  if ! running; then
    rm -f "$dir/pid"
    return 0
  fi
  local pid
  pid=$(cat "$dir/pid")
  # SIGTERM lets it close its databases, but Firebird 3 misses it now and then
  # (it then waits forever, listening): SIGKILL after a grace period, as
  # Debian's init script does.
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 50); do
    alive "$pid" || break
    sleep 0.1
  done
  if alive "$pid"; then
    kill -KILL "$pid" 2>/dev/null || true
    for _ in $(seq 50); do
      alive "$pid" || break
      sleep 0.1
    done
  fi
  if alive "$pid"; then
    echo "fb-server: pid $pid does not end" >&2
    exit 1
  fi
  rm -f "$dir/pid"
}

case $cmd in
  start) start ;;
  stop) stop ;;
  *) usage ;;
esac
