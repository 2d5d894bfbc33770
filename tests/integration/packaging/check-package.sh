#!/usr/bin/env bash
# Checks the package in BUILD_DIR (built with cpack when it is not there yet) without
# installing it: its file list, its control fields, the paths in the systemd unit and the
# desktop entry, and that the packaged orvo-host reports VERSION.
# usage: check-package.sh BUILD_DIR VERSION PREFIX [CPACK]
set -euo pipefail
build=$1 version=$2 prefix=$3 cpack=${4:-cpack}
p=".$prefix"
arch=$(dpkg --print-architecture)
deb="$build/orvo-host_${version}_${arch}.deb"
if [ ! -f "$deb" ] || [ "$build/src/app/orvo-host" -nt "$deb" ]; then
  (cd "$build" && "$cpack" -G DEB >/dev/null)
fi
[ -f "$deb" ] || { echo "no package at $deb"; exit 1; }

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

files=$(dpkg-deb -c "$deb" | awk '{print $6}')
for expected in "$p/bin/orvo-host" "$p/bin/orvo-client" "$p/lib/systemd/user/orvo-host.service" \
                "$p/share/applications/orvo-host.desktop" "$p/share/icons/hicolor/scalable/apps/orvo-host.svg"; do
  grep -qx -- "$expected" <<<"$files" || fail "missing $expected"
done
outside=$(grep -v -e '^\./$' -e "^$p/" <<<"$files" | grep -v -x -F -e "$(dirname "$p")/" -e "$p/" || true)
[ -z "$outside" ] || fail "files outside $prefix: $outside"
! grep -q -e 'test' -e 'bench' -e '\.a$' -e '/include/' <<<"$files" || fail "test, benchmark or development files packaged"

[ "$(dpkg-deb -f "$deb" Package)" = orvo-host ] || fail "Package: $(dpkg-deb -f "$deb" Package)"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "Version: $(dpkg-deb -f "$deb" Version)"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "Architecture: $(dpkg-deb -f "$deb" Architecture)"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
# The libraries the programs link, as dpkg-shlibdeps names their packages.
names=$(tr ',|' '\n\n' <<<"$depends" | awk '{print $1}')
for library in libc6 libstdc++6 libssl3 libcurl4 libsodium23 libpugixml1v5 libavahi-client3 libxcb1 libturbojpeg0 \
               libpipewire-0.3-0 libwayland-client0; do
  grep -qxF "$library" <<<"$names" || fail "Depends: lacks $library"
done

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
grep -qx "ExecStart=$prefix/bin/orvo-host --headless" "$unpacked$prefix/lib/systemd/user/orvo-host.service" ||
  fail "the unit does not start $prefix/bin/orvo-host"
# The desktop entry opens the control panel.
grep -qx "Exec=$prefix/bin/orvo-host" "$unpacked$prefix/share/applications/orvo-host.desktop" ||
  fail "the desktop entry does not start $prefix/bin/orvo-host"
grep -qx 'Icon=orvo-host' "$unpacked$prefix/share/applications/orvo-host.desktop" || fail "the desktop entry has no icon"
reported=$("$unpacked$prefix/bin/orvo-host" --version)
[ "$reported" = "orvo-host $version" ] || fail "the packaged program reports '$reported'"

[ "$failures" -eq 0 ] || exit 1
echo "package $deb: ok"
