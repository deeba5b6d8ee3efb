#!/usr/bin/env bash
# Installs the build into a temporary prefix and packs it as a .deb; checks what a Debian user gets.
#   check-install.sh <build folder>
set -euo pipefail
build="$1"
work="$(mktemp -d -t hoplin-install-XXXXXX)"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
# The program on PATH answers without any display.
version="$(env -u DISPLAY -u WAYLAND_DISPLAY "$prefix/bin/hoplin-desktop" --version)"
[[ "$version" =~ ^Hoplin\ Desktop\ [0-9.]+\ \(build\ [0-9]+\)$ ]] || fail "--version printed '$version'"
[ -f "$prefix/lib/hoplin-desktop/Hoplin Desktop.app/Contents/Info.plist" ] || fail "no bundle in lib/hoplin-desktop"
entry="$prefix/share/applications/com.hoplin.desktop.desktop"
desktop-file-validate "$entry" || fail "desktop-file-validate refused $entry"
# Both the menu entry and the D-Bus activation start the installed program.
for file in "$entry" "$prefix/share/dbus-1/services/com.hoplin.desktop.service"; do
  program="$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$file")"
  [ "$(realpath "$program")" = "$(realpath "$prefix/bin/hoplin-desktop")" ] || fail "$file starts '$program'"
done

cpack --config "$build/CPackConfig.cmake" -B "$work/package" >/dev/null
deb="$(echo "$work"/package/hoplin-desktop_*.deb)"
[ -f "$deb" ] || fail "cpack made no hoplin-desktop package"
depends="$(dpkg-deb -f "$deb" Depends)"
for package in libqt6webenginewidgets6 libqt6webenginecore6-bin libsecret-1-0 libqt6svg6 libarchive13 libcurl4; do
  [[ ", $depends," == *", $package "* || ", $depends," == *", $package,"* ]] || fail "Depends lacks $package: $depends"
done
contents="$(dpkg-deb -c "$deb")"
for path in "./usr/bin/hoplin-desktop -> ../lib/hoplin-desktop/Hoplin Desktop.app/Contents/MacOS/hoplin-desktop" \
  "./usr/lib/hoplin-desktop/Hoplin Desktop.app/Contents/Resources/CHANGELOG.md" \
  ./usr/share/applications/com.hoplin.desktop.desktop ./usr/share/doc/hoplin-desktop/copyright; do
  grep -qF "$path" <<<"$contents" || fail "the package lacks $path"
done
lintian --fail-on error "$deb" || fail "lintian found errors"
echo "install layout and package: ok"
