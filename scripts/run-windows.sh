#!/usr/bin/env bash
# Runs the 64-bit Windows build of the installer (out/windows/x64/Update.exe) under
# Wine on a device image, as "ceupdate run --device IMAGE --yes UPDATE_DIR" runs it on
# the host, and leaves the image holding the result.
#
# Usage: scripts/run-windows.sh IMAGE UPDATE_DIR
#
# A fresh Wine prefix (copied from a template made once in out/windows/wine-template)
# gets the image's registry (ceupdate reg export, then Wine's own reg import). The
# image is its drive D: and the program's current drive, so \storage\mxip_lang.vol is
# IMAGE/storage/mxip_lang.vol; a copy of the update folder with Update.exe in it is
# E:\Storage Card. observer.exe starts the program, prints the status window's text and
# the completion message as "ceupdate run" prints them without a terminal, presses OK
# and lists the registry before and after; "ceupdate reg import --since" writes what
# the run changed under HKEY_CLASSES_ROOT, HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE into
# the image's registry. The windows are drawn on $DISPLAY, or on an Xvfb of its own
# when none is set. Exit code: the installer's; 2 when the run could not be made.
#
# RUN_WINDOWS_WAIT_FOR=FILE (for scripts/screenshots.sh): the completion message stays
# up until FILE exists.
set -euo pipefail
[ -n "${RUN_WINDOWS_XTRACE:-}" ] && { PS4='+ $(date +%s.%N | cut -c7-14) '; set -x; }
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/lib.sh"

fail() { echo "run-windows: $*" >&2; exit 2; }
[ $# -eq 2 ] || fail "usage: scripts/run-windows.sh IMAGE UPDATE_DIR"
[ -f "$1/.ceimage/registry.db" ] || fail "$1 is not a device image"
[ -d "$2" ] || fail "the update folder $2 does not exist"
image=$(realpath "$1")
update=$(realpath "$2")

ensure_packages wine wine64 xvfb
ceupdate="${CEUPDATE:-$root/build/ceupdate}"
[ -x "$ceupdate" ] || CEUPDATE_TARGET=ceupdate bash "$root/scripts/setup.sh" "$root/build" >/dev/null
windows="$root/out/windows/x64"
[ -f "$windows/Update.exe" ] || bash "$root/scripts/build-windows.sh" x64 >/dev/null

export WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

# The template prefix, made once per Wine version.
template="$root/out/windows/wine-template"
wine_version=$("$wine" --version)
if [ "$(cat "$template/.ceupdate-wine" 2>/dev/null)" != "$wine_version" ]; then
  rm -rf "$template"
  WINEPREFIX="$template" "$wine" wineboot --init >/dev/null 2>&1 || true
  WINEPREFIX="$template" "$wineserver" --wait
  [ -f "$template/system.reg" ] || fail "wineboot made no Wine prefix in $template"
  echo "$wine_version" > "$template/.ceupdate-wine"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/run-windows-XXXXXX")
xvfb_pid=""
cleanup() {
  WINEPREFIX="$work/prefix" "$wineserver" --kill 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  if [ -n "${RUN_WINDOWS_KEEP:-}" ]; then echo "run-windows: kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT

# This run's prefix: the template's registry, its drive C: shared, D: the image,
# E: the storage card.
prefix="$work/prefix"
mkdir -p "$prefix/dosdevices" "$work/card/Storage Card"
cp "$template"/{system.reg,user.reg,userdef.reg,.update-timestamp} "$prefix/"
ln -s "$template/drive_c" "$prefix/drive_c"
ln -s ../drive_c "$prefix/dosdevices/c:"
ln -s "$image" "$prefix/dosdevices/d:"
ln -s "$work/card" "$prefix/dosdevices/e:"
ln -s / "$prefix/dosdevices/z:"
export WINEPREFIX="$prefix"
cp -a "$update"/. "$work/card/Storage Card/"
cp "$windows/Update.exe" "$work/card/Storage Card/Update.exe"

if [ -z "${DISPLAY:-}" ]; then
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 200); do [ -s "$work/display" ] && break; sleep 0.05; done
  [ -s "$work/display" ] || fail "Xvfb did not start"
  export DISPLAY=":$(head -n 1 "$work/display")"
fi

# A Windows path of a host path, through drive Z:.
windows_path() { local p=${1//\//\\}; printf 'Z:%s' "$p"; }

# The image's registry, seeded into the prefix.
{
  printf '\xff\xfe'
  for top in HKEY_CLASSES_ROOT HKEY_CURRENT_USER HKEY_LOCAL_MACHINE; do
    "$ceupdate" reg export --device "$image" "$top" | { [ "$top" = HKEY_CLASSES_ROOT ] && cat || tail -n +2; }
  done | sed 's/$/\r/' | iconv -f UTF-8 -t UTF-16LE
} > "$work/image.reg"
"$wine" reg import "$(windows_path "$work/image.reg")" >/dev/null 2>&1 ||
  fail "Wine's reg import did not take the image's registry"

status=0
"$wine" "$windows/observer.exe" ${RUN_WINDOWS_WAIT_FOR:+--wait-for "$(windows_path "$RUN_WINDOWS_WAIT_FOR")"} \
  "$(windows_path "$work/before.reg")" "$(windows_path "$work/after.reg")" \
  'E:\Storage Card\Update.exe' 'D:\' || status=$?
case $status in
  124) fail "Update.exe did not end within five minutes" ;;
  125) fail "observer.exe could not start Update.exe or list the registry" ;;
esac
"$wineserver" --kill 2>/dev/null || true
"$ceupdate" reg import --device "$image" --since "$work/before.reg" "$work/after.reg" >/dev/null ||
  fail "the run's registry changes could not be written into $image"
exit "$status"
