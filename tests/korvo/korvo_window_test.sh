#!/usr/bin/env bash
# Korvo's window under Xvfb: it starts with fake sound cards and fake
# players, a drag of two files from a drag source starts the chosen player
# with the right words, the player's progress shows as one changing line,
# File/Stop ends it with "End of playback", and File/Quit writes the
# settings. Screenshots go to the output directory.
#
#   korvo_window_test.sh KORVO FAKE_PLAYER DRAG_SOURCE FAKECARDS_SHIM OUTPUT_DIR
# Exit status 77 (skipped) when xvfb-run is not installed.
set -euo pipefail

if [[ -z "${KORVO_IN_XVFB:-}" ]]; then
  if ! command -v xvfb-run >/dev/null; then
    echo "xvfb-run is not installed: window test skipped"
    exit 77
  fi
  for tool in xdotool import; do
    command -v "$tool" >/dev/null || { echo "$tool is missing"; exit 1; }
  done
  KORVO_IN_XVFB=1 exec timeout 50 xvfb-run -a -s "-screen 0 800x600x24" "$0" "$@"
fi

korvo=$1 fake_player=$2 drag_source=$3 shim=$4 out=$5
# GTK and its libraries keep allocations to the end; in a sanitized build
# only the two GTK programs of this test go without the leak check.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
mkdir -p "$out"
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  import -window root "$out/korvo-failure.png" || true
  echo "--- Korvo's output:"; cat "$work/korvo.log" || true
  echo "--- player runs:"; cat "$work/record" 2>/dev/null || true
  exit 1
}

# Polls a condition (a shell command) every 0.1 s for at most 10 s.
wait_for() {
  for _ in $(seq 100); do
    if eval "$1"; then return 0; fi
    sleep 0.1
  done
  return 1
}

mkdir "$work/bin" "$work/home"
for name in lumen brisa; do ln -s "$fake_player" "$work/bin/$name"; done
printf 'Korvo config file version 1.0\ndevice-select:\tFake DAC at usb-1 USB Audio\ncommand-select:\tlumen\n' \
  > "$work/home/.Korvo"

env PATH="$work/bin" HOME="$work/home" FAKE_PLAYER_RECORD="$work/record" \
  LD_PRELOAD="$shim" FAKE_ALSA_CARDS="1|Fake DAC at usb-1|pcm=0;2|Orvalis Quellform at usb-2|pcm=0,1" \
  ASAN_OPTIONS="$ASAN_OPTIONS:verify_asan_link_order=0" \
  "$korvo" > "$work/korvo.log" 2>&1 &
korvo_pid=$!
pids+=("$korvo_pid")

window=$(timeout 10 xdotool search --sync --onlyvisible --name '^Korvo$' | head -1) || fail "no Korvo window"
eval "$(xdotool getwindowgeometry --shell "$window")"
wx=$X wy=$Y
sleep 0.5
import -window root "$out/korvo-start.png"

# The device box lists the fake cards: open it for a screenshot.
xdotool mousemove $((wx + 300)) $((wy + 45)) click 1
sleep 0.5
import -window root "$out/korvo-devices.png"
xdotool key Escape
sleep 0.3

"$drag_source" /music/a.wav "/music/b b.wav" &
pids+=("$!")
source_window=$(timeout 10 xdotool search --sync --onlyvisible --name '^korvo drag source$' | head -1) ||
  fail "no drag source window"
eval "$(xdotool getwindowgeometry --shell "$source_window")"
sx=$((X + WIDTH / 2)) sy=$((Y + HEIGHT / 2)) tx=$((wx + 300)) ty=$((wy + 150))
xdotool mousemove "$sx" "$sy"
sleep 0.2
xdotool mousedown 1
for step in 1 2 3 4 5 6 7 8; do
  xdotool mousemove $((sx + step * (tx - sx) / 8)) $((sy + step * (ty - sy) / 8))
  sleep 0.1
done
sleep 0.2
xdotool mouseup 1

expected=$(printf 'lumen\t-B\t10M\t-D\thw:1,0\t/music/a.wav\t/music/b b.wav')
wait_for 'grep -qxF "$expected" "$work/record" 2>/dev/null' || fail "lumen was not started with the dropped files"
wait_for '[[ "$(xdotool getwindowname "$window")" == "playing Korvo" ]]' || fail "title is not 'playing Korvo'"
sleep 0.6  # the fake player's progress is done after 0.1 s, the view a refresh later
import -window "$window" "$out/korvo-playing.png"

# What the text view shows, through the clipboard.
view_text() {
  xdotool mousemove $((wx + 300)) $((wy + 150)) click 1
  xdotool key ctrl+a ctrl+c
  sleep 0.3
  "$drag_source" --clipboard
}
text=$(view_text)
[[ "$text" == $'lumen: playing 6 files\n  0:05 ' ]] || fail "view shows: $(printf %q "$text")"

# File/Stop.
xdotool mousemove $((wx + 20)) $((wy + 12)) click 1
sleep 0.3
xdotool key Down Down Return
wait_for '[[ "$(xdotool getwindowname "$window")" == " Korvo" ]]' || fail "playback did not end"
sleep 0.3
text=$(view_text)
[[ "$text" == *$'exit by interrupt (1)\n\n\nEnd of playback'* ]] || fail "after Stop the view shows: $(printf %q "$text")"
import -window root "$out/korvo-stopped.png"

# File/Quit writes the settings and ends with status 0.
xdotool mousemove $((wx + 20)) $((wy + 12)) click 1
sleep 0.3
xdotool key Down Down Down Return
wait_for '! kill -0 "$korvo_pid" 2>/dev/null' || fail "Korvo did not quit"
wait "$korvo_pid" || fail "Korvo ended with status $?"
grep -qxF "$(printf 'device-select:\tFake DAC at usb-1 USB Audio')" "$work/home/.Korvo" || fail "device not stored"
grep -qxF "$(printf 'command-select:\tlumen')" "$work/home/.Korvo" || fail "command not stored"
echo "Korvo window test passed; screenshots in $out"
