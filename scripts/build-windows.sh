#!/usr/bin/env bash
# Builds the installer as a Windows program, for 64-bit and 32-bit Windows, with the
# mingw-w64 cross-compilers (installed when missing): out/windows/x64/Update.exe and
# out/windows/x86/Update.exe, and beside each the helpers observer.exe and
# fold_names.exe (scripts/run-windows.sh and the difference test use the 64-bit ones).
#
# SQLite comes from its amalgamation as the npm package better-sqlite3 ships it,
# pinned by version and checksum, fetched into build-windows/ and never committed.
# Usage: scripts/build-windows.sh [x64|x86]...   (both when none is named)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
ensure_packages cmake make g++-mingw-w64-x86-64 g++-mingw-w64-i686
command -v npm >/dev/null || ensure_packages npm

work=build-windows
sqlite_package=better-sqlite3@12.11.1         # deps/sqlite3: SQLite 3.53.2
sqlite_package_sha256=ebf0ed75a7a59dbcb3b24bbd014ef49d9f15bc328e4adcbf516f2a8fadfa2835
sqlite_c_sha256=60d2f39a3726cd6b9021da6f4e868608d66fbb6528a9f513dc8ffcc640493422
amalgamation="$work/sqlite-amalgamation"

# fetch_sqlite: the amalgamation in $amalgamation, checked against the pinned sums.
fetch_sqlite() {
  if [ -f "$amalgamation/sqlite3.c" ] &&
     echo "$sqlite_c_sha256  $amalgamation/sqlite3.c" | sha256sum --check --status; then
    return 0
  fi
  local download="$work/download"
  rm -rf "$download" "$amalgamation"
  mkdir -p "$download" "$amalgamation"
  (cd "$download" && npm pack --silent "$sqlite_package" >/dev/null)
  local tarball
  tarball=$(ls "$download"/*.tgz)
  echo "$sqlite_package_sha256  $tarball" | sha256sum --check --status ||
    { echo "build-windows: $sqlite_package does not have the pinned checksum" >&2; exit 2; }
  tar -xzf "$tarball" -C "$download" package/deps/sqlite3/sqlite3.c package/deps/sqlite3/sqlite3.h
  mv "$download"/package/deps/sqlite3/sqlite3.[ch] "$amalgamation/"
  echo "$sqlite_c_sha256  $amalgamation/sqlite3.c" | sha256sum --check --status ||
    { echo "build-windows: sqlite3.c does not have the pinned checksum" >&2; exit 2; }
  rm -rf "$download"
}

# build ARCH TRIPLE: configures (once) and builds one architecture, then copies the
# programs to out/windows/ARCH/.
build() {
  local arch=$1 triple=$2 dir="$work/$1"
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S platform/win32 -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_SYSTEM_NAME=Windows \
      -DCMAKE_C_COMPILER="$triple-gcc-posix" -DCMAKE_CXX_COMPILER="$triple-g++-posix" \
      -DCMAKE_RC_COMPILER="$triple-windres" \
      -DSQLITE_AMALGAMATION="$PWD/$amalgamation" >/dev/null
  fi
  cmake --build "$dir" -j"$(nproc)"
  mkdir -p "out/windows/$arch"
  cp "$dir"/Update.exe "$dir"/observer.exe "$dir"/fold_names.exe "out/windows/$arch/"
}

fetch_sqlite
arches=("$@")
[ ${#arches[@]} -eq 0 ] && arches=(x64 x86)
for arch in "${arches[@]}"; do
  case "$arch" in
    x64) build x64 x86_64-w64-mingw32 ;;
    x86) build x86 i686-w64-mingw32 ;;
    *) echo "build-windows: unknown architecture $arch (x64 or x86)" >&2; exit 2 ;;
  esac
done
