#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Quick when everything is already there.
set -euo pipefail
pkgs=(
  cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev openssl libcurl4-openssl-dev nlohmann-json3-dev libpugixml-dev
  dovecot-core dovecot-pop3d dovecot-imapd
  systemd dpkg-dev passwd  # systemd-analyze checks the unit; dpkg-shlibdeps and groupadd for the package
  libcli11-dev
  dante-server microsocks tinyproxy-bin squid
)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# The tests start their own Dovecot instances; the packaged system-wide one
# is not needed and must not hold the standard ports.
if command -v systemctl >/dev/null && systemctl is-active --quiet dovecot 2>/dev/null; then
  systemctl stop dovecot || true
fi
