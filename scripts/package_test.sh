#!/bin/bash
# Builds the Debian package in BUILD, looks inside it, and installs, removes
# and purges it in a throwaway root folder (dpkg --root, maintainer scripts
# run outside a chroot with DPKG_ROOT set).
#   bash scripts/package_test.sh BUILD
set -euo pipefail
build=${1:?build folder}
cmake --build "$build" --target package >/dev/null
deb=$(ls "$build"/tarnwick_*_*.deb | head -n 1)
echo "package: $deb"
fail() { echo "FAIL: $*" >&2; exit 1; }

contents=$(dpkg-deb -c "$deb")
grep -q ' ./opt/tarnwick/TarnwickSvr$' <<<"$contents" || fail "no TarnwickSvr"
grep -q ' ./opt/tarnwick/TarnwickSvc$' <<<"$contents" || fail "no TarnwickSvc"
info=$(dpkg-deb -I "$deb")
grep -q '^ Package: tarnwick$' <<<"$info" || fail "package name"
for s in postinst prerm postrm; do grep -q " $s" <<<"$info" || fail "no $s"; done

root=$(mktemp -d /tmp/tarnwick-pkg-XXXXXX)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/etc"
touch "$root/var/lib/dpkg/status"
printf 'root:x:0:\n' >"$root/etc/group"
printf 'root:*::\n' >"$root/etc/gshadow"
dpkg=(dpkg --root="$root" --force-script-chrootless --force-depends --log=/dev/null)

"${dpkg[@]}" -i "$deb" >/dev/null
unit="$root/etc/systemd/system/tarnwick.service"
[ -x "$root/opt/tarnwick/TarnwickSvc" ] || fail "not installed"
[ -f "$unit" ] || fail "no unit"
grep -q '^Description=Varnholt Tarnwick Service$' "$unit" || fail "unit description"
grep -q '"LocalService"="TarnwickSvc"' "$root/etc/tarnwick/registry" || fail "AppID values"
grep -q '^tarnwick:x:[0-9]*:$' "$root/etc/group" || fail "group tarnwick (empty)"
for d in conf log pull; do [ "$(stat -c %a "$root/opt/tarnwick/$d")" = 700 ] || fail "$d mode"; done
if command -v systemctl >/dev/null; then
  [ -L "$root/etc/systemd/system/multi-user.target.wants/tarnwick.service" ] || fail "not enabled"
fi
echo "BEGIN:config" >"$root/opt/tarnwick/conf/config.txt"

"${dpkg[@]}" -r tarnwick >/dev/null 2>&1
[ ! -e "$root/opt/tarnwick/TarnwickSvc" ] || fail "program left after removal"
[ ! -e "$unit" ] || fail "unit left after removal"
[ ! -e "$root/etc/systemd/system/multi-user.target.wants/tarnwick.service" ] || fail "still enabled"
grep -q 'LocalService' "$root/etc/tarnwick/registry" && fail "AppID values left"
[ -f "$root/opt/tarnwick/conf/config.txt" ] || fail "conf/ not kept"
[ -d "$root/opt/tarnwick/log" ] && [ -d "$root/opt/tarnwick/pull" ] || fail "log/ or pull/ not kept"

"${dpkg[@]}" -P tarnwick >/dev/null 2>&1
[ ! -e "$root/opt/tarnwick/conf" ] || fail "conf/ left after purge"
echo "package installs, removes and purges cleanly"
