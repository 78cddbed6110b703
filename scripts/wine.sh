# Wine for the project's scripts (run-windows.sh, wine-run.sh): the packages, a
# template prefix made once per Wine version in out/windows/wine-template, fresh
# prefixes made from it in a moment, and an Xvfb screen. Sourced, never run; needs
# scripts/lib.sh.

# wine_setup: installs what is missing, sets WINE and WINESERVER and Wine's
# environment, and makes the template prefix when there is none for this Wine.
wine_setup() {
  ensure_packages wine wine64 xvfb
  export WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
  WINE=/usr/lib/wine/wine64
  WINESERVER=/usr/lib/wine/wineserver
  wine_template="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/out/windows/wine-template"
  local version
  version=$("$WINE" --version)
  [ "$(cat "$wine_template/.ceupdate-wine" 2>/dev/null)" = "$version" ] && return 0
  # Runs started side by side (the difference test runs two) make the template once:
  # the first takes the lock and makes it, the others wait and then find it made.
  mkdir -p "$(dirname "$wine_template")"
  local lock status=0
  exec {lock}>"$wine_template.lock"
  flock "$lock"
  if [ "$(cat "$wine_template/.ceupdate-wine" 2>/dev/null)" != "$version" ]; then
    wine_make_template "$version" || status=$?
  fi
  exec {lock}>&-
  return "$status"
}

# wine_make_template VERSION: a new template prefix, marked with Wine's version.
wine_make_template() {
  rm -rf "$wine_template"
  WINEPREFIX="$wine_template" "$WINE" wineboot --init >/dev/null 2>&1 || true
  # wineboot returns before the prefix's services have ended; wait for them, but not
  # for ever.
  WINEPREFIX="$wine_template" timeout 60 "$WINESERVER" --wait ||
    WINEPREFIX="$wine_template" "$WINESERVER" --kill 2>/dev/null || true
  [ -f "$wine_template/system.reg" ] || { echo "wine: wineboot made no prefix in $wine_template" >&2; return 2; }
  echo "$1" > "$wine_template/.ceupdate-wine"
}

# wine_prefix DIR: a fresh prefix in DIR (the template's registry, its drive C:
# shared, Z: the host's root) and WINEPREFIX set to it.
wine_prefix() {
  local prefix=$1
  mkdir -p "$prefix/dosdevices"
  cp "$wine_template"/{system.reg,user.reg,userdef.reg,.update-timestamp} "$prefix/"
  ln -s "$wine_template/drive_c" "$prefix/drive_c"
  ln -s ../drive_c "$prefix/dosdevices/c:"
  ln -s / "$prefix/dosdevices/z:"
  export WINEPREFIX="$prefix"
}

# wine_display DIR: DISPLAY as it is, or an Xvfb of its own (its process id in
# xvfb_pid, to be killed by the caller; DIR holds its display number).
wine_display() {
  xvfb_pid=""
  [ -n "${DISPLAY:-}" ] && return 0
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$1/display" >/dev/null 2>&1 &
  xvfb_pid=$!
  local _
  for _ in $(seq 200); do [ -s "$1/display" ] && break; sleep 0.05; done
  [ -s "$1/display" ] || { echo "wine: Xvfb did not start" >&2; return 2; }
  export DISPLAY=":$(head -n 1 "$1/display")"
}

# windows_path PATH: the Windows path of a host path, through drive Z:.
windows_path() { local p=${1//\//\\}; printf 'Z:%s' "$p"; }
