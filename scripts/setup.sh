#!/usr/bin/env bash
# Installs every Debian package the project needs to build, run and test.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev libqt6network6 libqt6widgets6
  # TLS to the application servers: Qt's OpenSSL backend (in libqt6network6)
  # loads libssl3; libcrypto's headers for the certificate pin and for the
  # installers' Ed25519 signatures; the openssl command makes the tests'
  # certificates.
  libssl3 libssl-dev openssl
  # firebird3.0-server: its program only; the test command runs a private
  # instance (scripts/fb-server.sh), never the system service.
  firebird-dev libfbclient2 firebird3.0-server-core firebird3.0-server firebird3.0-utils
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 xvfb xauth
  clang libclang-rt-14-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
