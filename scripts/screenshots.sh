#!/usr/bin/env bash
# Takes the README's pictures of what the phone shows: the demo update run by the
# Windows build under Wine on an Xvfb screen, the status window and the completion
# message each cut out of the screen while the message is up.
# Writes docs/status-window.png and docs/completion-message.png.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
ensure_packages xvfb imagemagick x11-utils xdotool

bash scripts/demo.sh >/dev/null
work=$(mktemp -d)
xvfb_pid=""
run_pid=""
cleanup() {
  [ -n "$run_pid" ] && touch "$work/taken" && wait "$run_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 800x720x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 200); do [ -s "$work/display" ] && break; sleep 0.05; done
export DISPLAY=":$(head -n 1 "$work/display")"

cp -a out/demo/before "$work/image"
RUN_WINDOWS_WAIT_FOR="$work/taken" bash scripts/run-windows.sh "$work/image" out/demo/update >/dev/null &
run_pid=$!

# window_of NAME: the X window whose title is NAME, once it is on the screen.
window_of() {
  local id=""
  for _ in $(seq 600); do
    id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1) && [ -n "$id" ] && break
    sleep 0.1
  done
  [ -n "$id" ] || { echo "screenshots: no window \"$1\" appeared" >&2; exit 2; }
  echo "$id"
}

message=$(window_of Finished)
status=$(window_of 'Идет обновление программного обеспечения.*')
# The message box opens over the status window: moved below it, it uncovers the
# status window, which paints itself again.
eval "$(xdotool getwindowgeometry --shell "$status")"
xdotool windowmove "$message" 0 $((Y + HEIGHT + 8))
sleep 1  # both windows painted
mkdir -p docs
import -window "$status" docs/status-window.png
import -window "$message" docs/completion-message.png
touch "$work/taken"
wait "$run_pid"
run_pid=""
echo "docs/status-window.png docs/completion-message.png"
