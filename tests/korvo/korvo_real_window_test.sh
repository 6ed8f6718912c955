#!/usr/bin/env bash
# Korvo's window under Xvfb with the real lumen on a test DAC whose card is
# unplugged once Korvo has listed it: a drop onto the output area starts
# lumen, which waits for the DAC; once the card is there the file, its tags, the position against the length, the
# state and the stream's format are shown from lumen's events; a drop with
# Ctrl held adds its file to the list that plays (the file heard stays,
# "1 of 2"); Stop ends the run. The window's labels are read through the
# clipboard. The caller sets up the test DAC, the fake card and HOME.
#
#   korvo_real_window_test.sh KORVO DRAG_SOURCE PLAYERS_DIR MUSIC_DIR PLUGGED_FILE OUTPUT_DIR
# Exit status 77 (skipped) when xvfb-run is not installed.
set -euo pipefail

if [[ -z "${KORVO_IN_XVFB:-}" ]]; then
  if ! command -v xvfb-run >/dev/null; then
    echo "xvfb-run is not installed: window test skipped"
    exit 77
  fi
  command -v xdotool >/dev/null || { echo "xdotool is missing"; exit 1; }
  KORVO_IN_XVFB=1 exec timeout 140 xvfb-run -a -s "-screen 0 800x600x24" "$0" "$@"
fi

korvo=$1 drag_source=$2 players=$3 music=$4 plugged=$5 out=$6
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
mkdir -p "$out"
log=$(mktemp)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -f "$log"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  import -window root "$out/korvo-real-failure.png" 2>/dev/null || true
  echo "--- Korvo's output:"; cat "$log" || true
  exit 1
}

# Polls a condition (a shell command) every 0.1 s for at most 20 s.
wait_for() {
  for _ in $(seq 200); do
    if eval "$1"; then return 0; fi
    sleep 0.1
  done
  return 1
}
title_is() { [[ "$(xdotool getwindowname "$window")" == "$1" ]]; }

# Whether the label at window point ($1, $2) reads what matches the pattern
# $3: a triple click selects its text, Ctrl+C copies it.
label_matches() {
  local x=$1 y=$2 pattern=$3
  wait_for 'xdotool mousemove $((wx + x)) $((wy + y)) click --repeat 3 --delay 50 1 key ctrl+c &&
            text=$("$drag_source" --clipboard 2>/dev/null) && [[ "$text" == $pattern ]]'
}

# Drags the paths from a drag source onto the output area; with
# $hold_key set, that key is held while the drop happens.
drag() {
  "$drag_source" "$@" &
  local source_pid=$!
  source_window=$(timeout 10 xdotool search --sync --onlyvisible --name '^korvo drag source$' | head -1) ||
    fail "no drag source window"
  eval "$(xdotool getwindowgeometry --shell "$source_window")"
  local sx=$((X + WIDTH / 2)) sy=$((Y + HEIGHT / 2)) tx=$((wx + 300)) ty=$((wy + 340))
  # The pauses pace the pointer as a hand would, for GTK to see a drag.
  xdotool mousemove "$sx" "$sy"
  sleep 0.2
  xdotool mousedown 1
  for step in 1 2 3 4 5 6 7 8; do
    xdotool mousemove $((sx + step * (tx - sx) / 8)) $((sy + step * (ty - sy) / 8))
    sleep 0.1
  done
  [[ -n "${hold_key:-}" ]] && xdotool keydown "$hold_key"
  sleep 0.2
  xdotool mouseup 1
  sleep 0.2
  [[ -n "${hold_key:-}" ]] && xdotool keyup "$hold_key"
  kill "$source_pid"
  wait "$source_pid" 2>/dev/null || true
}

env PATH="$players" "$korvo" >> "$log" 2>&1 &
korvo_pid=$!
pids+=("$korvo_pid")
window=$(timeout 10 xdotool search --sync --onlyvisible --name '^Korvo$' | head -1) || fail "no Korvo window"
eval "$(xdotool getwindowgeometry --shell "$window")"
wx=$X wy=$Y

# The card goes: lumen waits for it (--wait-device) and plays once it is back.
rm "$plugged"
drag "$music/tone.wav"
wait_for 'view=$(xdotool mousemove $((wx + 300)) $((wy + 340)) click 1 key ctrl+a ctrl+c && "$drag_source" --clipboard) &&
          [[ "$view" == "waiting for the DAC"* ]]' || fail "lumen did not wait for the DAC"
touch "$plugged"
wait_for 'title_is "tone.wav (1 of 1) Korvo"' || fail "the title does not name the file: $(xdotool getwindowname "$window")"
label_matches 320 219 'Test Artist — Test Tone' || fail "the tags are not shown: $(printf %q "$text")"
label_matches 60 252 'playing · 0:0[1-9] / 0:20 · 44100:16:2' || fail "the position is not shown: $(printf %q "$text")"
xdotool click 1  # leaves the selection
import -window "$window" "$out/korvo-real-playing.png"

# Ctrl-drop: the file joins the list that plays, the file heard stays.
hold_key=ctrl drag "$music/second.wav"
wait_for 'title_is "tone.wav (1 of 2) Korvo"' || fail "a Ctrl-drop did not add to the list: $(xdotool getwindowname "$window")"
label_matches 60 252 'playing · *' || fail "the state after the Ctrl-drop: $(printf %q "$text")"

# Stop: lumen quits, the run ends.
xdotool key alt+f s
wait_for 'title_is " Korvo"' || fail "Stop did not end the run"
kill -TERM "$korvo_pid"
wait_for '! kill -0 "$korvo_pid" 2>/dev/null' || fail "Korvo did not end on SIGTERM"
echo "Korvo real window test passed"
