#!/usr/bin/env bash
# Korvo's window under Xvfb, with fake sound cards and fake players.
# Without players Korvo ends with a dialog. A drag of two files starts the
# chosen player with the right words; the title and label tell the file
# heard now and "n of m"; Space and Ctrl+Right reach the player as its commands;
# File/Stop shows "stopping" at once and the window answers while the player
# winds down; a flood of output keeps the window answering and its memory
# bounded; Open starts in the music folder; SIGTERM quits as File/Quit does
# and leaves no player behind. With two entries of one label a drop plays
# on the chosen one and Device Scan keeps it; a drop while a dialog is
# open is not taken; SIGKILL leaves no player either. brisa's settings,
# chosen in the Settings dialog, reach brisa and are kept. Settings that
# cannot be saved are shown in a dialog at quit. Screenshots go to the output directory.
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
  KORVO_IN_XVFB=1 exec timeout 110 xvfb-run -a -s "-screen 0 800x600x24" "$0" "$@"
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
  echo "--- player state:"; cat "$work/state" 2>/dev/null || true
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
title_is() { [[ "$(xdotool getwindowname "$window")" == "$1" ]]; }
visible_windows() { xdotool search --onlyvisible --maxdepth 1 --name '' 2>/dev/null | wc -l; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }
# The pid of the last player run, from what the fake player wrote.
last_player() { grep '^pid ' "$work/state" | tail -1 | cut -d' ' -f2; }

mkdir -p "$work/bin" "$work/home/Music" "$work/home/.config"
echo 'XDG_MUSIC_DIR="$HOME/Music"' > "$work/home/.config/user-dirs.dirs"
for name in lumen brisa; do ln -s "$fake_player" "$work/bin/$name"; done
printf 'Korvo config file version 1.0\ndevice-select:\tFake DAC at usb-1 USB Audio\ncommand-select:\tlumen\n' \
  > "$work/home/.Korvo"

# Starts Korvo on these fake cards (FAKE_ALSA_CARDS).
start_korvo() {
  # A player that takes 3 s to end after its interrupt, as a slow one would.
  env PATH="$work/bin" HOME="$work/home" FAKE_PLAYER_RECORD="$work/record" FAKE_PLAYER_STATE="$work/state" \
    FAKE_COUNT_STATUS="${count_status:-0}" \
    FAKE_PLAYER_WIND_DOWN_MS=3000 LD_PRELOAD="$shim" FAKE_ALSA_CARDS="$1" \
    ASAN_OPTIONS="$ASAN_OPTIONS:verify_asan_link_order=0:quarantine_size_mb=8" \
    "$korvo" >> "$work/korvo.log" 2>&1 &
  korvo_pid=$!
  pids+=("$korvo_pid")
  window=$(timeout 10 xdotool search --sync --onlyvisible --name '^Korvo$' | head -1) || fail "no Korvo window"
  eval "$(xdotool getwindowgeometry --shell "$window")"
  wx=$X wy=$Y
}

# Drags these paths from a drag source onto the window.
drag() {
  "$drag_source" "$@" &
  local source_pid=$!
  source_window=$(timeout 10 xdotool search --sync --onlyvisible --name '^korvo drag source$' | head -1) ||
    fail "no drag source window"
  eval "$(xdotool getwindowgeometry --shell "$source_window")"
  local sx=$((X + WIDTH / 2)) sy=$((Y + HEIGHT / 2)) tx=$((wx + ${drop_x:-300})) ty=$((wy + ${drop_y:-150}))
  # The pauses pace the pointer as a hand would, for GTK to see a drag.
  xdotool mousemove "$sx" "$sy"
  sleep 0.2
  xdotool mousedown 1
  for step in 1 2 3 4 5 6 7 8; do
    xdotool mousemove $((sx + step * (tx - sx) / 8)) $((sy + step * (ty - sy) / 8))
    sleep 0.1
  done
  sleep 0.2
  xdotool mouseup 1
  sleep 0.2
  kill "$source_pid"
  wait "$source_pid" 2>/dev/null || true
}

# Whether the text view shows what matches the pattern $1: its text goes
# to the clipboard, which is read until it matches (or 10 s have passed).
view_matches() {
  local pattern=$1
  xdotool mousemove $((wx + 300)) $((wy + 330)) click 1
  xdotool key ctrl+a ctrl+c
  wait_for 'text=$("$drag_source" --clipboard 2>/dev/null) && [[ "$text" == $pattern ]]'
}

# The window answers: Ctrl+O opens the Open dialog, Escape closes it.
answers() {
  xdotool key ctrl+o
  timeout 5 xdotool search --sync --onlyvisible --name '^Korvo - Open Files$' >/dev/null || return 1
  xdotool key Escape
  wait_for '! xdotool search --onlyvisible --name "^Korvo - Open Files$" >/dev/null'
}

# Without any player Korvo ends with status 1, and says why in a dialog too.
env PATH="$work/home" HOME="$work/home" "$korvo" > "$work/alone.log" 2>&1 &
alone=$!
pids+=("$alone")
dialog=$(timeout 10 xdotool search --sync --onlyvisible --name '^Korvo$' | head -1) || fail "no dialog for a missing player"
eval "$(xdotool getwindowgeometry --shell "$dialog")"
xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT - 20)) click 1  # its Close button
wait_for '! kill -0 "$alone" 2>/dev/null' || fail "Korvo without players did not end"
status=0
wait "$alone" || status=$?
((status == 1)) && grep -q "Command vesko,aplay are not found." "$work/alone.log" || fail "Korvo without players: status $status"

start_korvo "1|Fake DAC at usb-1|pcm=0;2|Orvalis Quellform at usb-2|pcm=0,1"
sleep 0.5  # for the screenshot only: the window has drawn itself
import -window root "$out/korvo-start.png"

# The device box lists the fake cards: open it for a screenshot.
xdotool mousemove $((wx + 300)) $((wy + 116)) click 1
sleep 0.5  # for the screenshot only
import -window root "$out/korvo-devices.png"
xdotool key Escape
sleep 0.3  # the menu lets the pointer go

drag /music/a.wav "/music/b b.wav"
expected=$(printf 'lumen\t--control\t--wait-device\t-B\t10M\t-D\thw:1,0\t/music/a.wav\t/music/b b.wav')
wait_for 'grep -qxF "$expected" "$work/record" 2>/dev/null' || fail "lumen was not started with the dropped files"
wait_for 'title_is "a.wav (1 of 2) Korvo"' || fail "title does not name the first file"
view_matches '*position 00:03*' || fail "view shows: $(printf %q "$text")"
xdotool click 1  # leaves the selection
sleep 0.2        # for the screenshot only: the bar has followed
import -window "$window" "$out/korvo-playing.png"

# Play/Pause and Next reach the player as its commands.
xdotool key space
wait_for 'grep -qx "command pause" "$work/state"' || fail "Play/Pause did not reach the player"
xdotool key ctrl+Right
wait_for 'title_is "b b.wav (2 of 2) Korvo"' || fail "Next did not reach the player"
view_matches $'playing file 1/2 total 00:05 "a.wav" "/music/a.wav"\nplaying file 2/2 total 00:05 "b b.wav" "/music/b b.wav"' ||
  fail "view shows: $(printf %q "$text")"

# File/Stop: "stopping" at once, and the window answers while the player
# takes its 3 s to end.
asked=$(now_ms)
xdotool key alt+f s
wait_for 'title_is "stopping Korvo"' || fail "Stop did not show 'stopping'"
took=$(($(now_ms) - asked))
((took < 500)) || fail "Stop took $took ms to show"
echo "Stop: 'stopping' shown $took ms after the key"
import -window "$window" "$out/korvo-stopping.png"
answers || fail "the window did not answer while the player was stopping"
title_is "stopping Korvo" || fail "the player ended before the window was tried"
wait_for 'title_is " Korvo"' || fail "playback did not end"
view_matches *$'exit by quit (0)\n\n\nEnd of playback' || fail "after Stop the view shows: $(printf %q "$text")"

# A player that prints without pause: memory stays bounded, the window
# answers. (A sanitized Korvo keeps only 8 MB of freed memory in quarantine,
# so that what is measured is Korvo's own.)
rss_kb() { awk '/^VmRSS/ { print $2 }' "/proc/$korvo_pid/status"; }
before=$(rss_kb)
drag /music/mode-chatty
wait_for 'grep -q "mode-chatty" "$work/record"' || fail "the talkative player did not start"
peak=$before
for _ in $(seq 20); do
  sleep 0.25
  rss=$(rss_kb)
  ((rss > peak)) && peak=$rss
done
answers || fail "the window did not answer during a flood of output"
((peak - before < 100000)) || fail "memory grew by $((peak - before)) kB during a flood of output"
echo "flood: Korvo's resident memory $before kB before, at most $peak kB during 5 s"
xdotool key alt+f s
wait_for 'title_is " Korvo"' || fail "the talkative player did not end"

# Open starts in the music folder (not in "Recent"): Play Folder at once
# plays it.
xdotool key ctrl+o
chooser=$(timeout 5 xdotool search --sync --onlyvisible --name '^Korvo - Open Files$' | head -1) || fail "no Open dialog"
eval "$(xdotool getwindowgeometry --shell "$chooser")"
xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) key alt+f
expected=$(printf 'lumen\t--control\t--wait-device\t-B\t10M\t-D\thw:1,0\t%s' "$work/home/Music")
wait_for 'grep -qxF "$expected" "$work/record"' || fail "Play Folder did not play the music folder: $(tail -1 "$work/record")"

# SIGTERM quits as File/Quit does: the player ends, the settings are written.
wait_for 'title_is "Music (1 of 1) Korvo"' || fail "the folder's run did not start"
player=$(last_player)
kill -TERM "$korvo_pid"
wait_for '! kill -0 "$korvo_pid" 2>/dev/null' || fail "Korvo did not end on SIGTERM"
wait "$korvo_pid" || fail "Korvo ended with status $? on SIGTERM"
kill -0 "$player" 2>/dev/null && fail "the player outlived Korvo"
grep -qxF "$(printf 'device-select:\tFake DAC at usb-1 USB Audio')" "$work/home/.Korvo" || fail "device not stored"
grep -qxF "$(printf 'command-select:\tlumen')" "$work/home/.Korvo" || fail "command not stored"

# Every part of the window takes a drop, once: the output text and the
# label of its expander too. Auto detect picks among the players installed:
# a list of mixed rates (lumen --count exits 1) plays through lumen itself.
printf 'Korvo config file version 1.0\ndevice-select:\tFake DAC at usb-1 USB Audio\ncommand-select:\tauto detect\n' \
  > "$work/home/.Korvo"
count_status=1 start_korvo "1|Fake DAC at usb-1|pcm=0"
plays() { grep -cv -- "--count" "$work/record"; }  # the probes of auto detect left out
runs_before=$(plays)
drop_y=330 drag /music/text.wav
expected=$(printf 'lumen\t--control\t--wait-device\t-B\t10M\t-D\thw:1,0\t/music/text.wav')
wait_for 'grep -qxF "$expected" "$work/record"' || fail "a drop on the output text did not play through lumen: $(tail -1 "$work/record")"
grep -q "not installed" "$work/korvo.log" && fail "auto detect chose a player that is not installed"
drop_x=70 drop_y=281 drag /music/label.wav  # "Player output"
# The run, not auto detect's probe before it.
wait_for 'grep -v -- "--count" "$work/record" | grep -q "/music/label.wav"' || fail "a drop on the output's label did not play"
runs=$(plays)
((runs - runs_before == 2)) || fail "$((runs - runs_before)) runs for two drops"
kill -TERM "$korvo_pid"
wait_for '! kill -0 "$korvo_pid" 2>/dev/null' || fail "Korvo did not end on SIGTERM"
printf 'Korvo config file version 1.0\ndevice-select:\tFake DAC at usb-1 USB Audio\ncommand-select:\tlumen\n' \
  > "$work/home/.Korvo"

# Two cards with one label: a drop plays on the entry chosen (the last one
# with the stored label), and Device Scan keeps the one the user chose.
start_korvo "1|Fake DAC at usb-1|pcm=0;2|Fake DAC at usb-1|pcm=0"
drag /music/a.wav
wait_for 'tail -1 "$work/record" | grep -q "hw:2,0"' || fail "the drop did not use the chosen entry: $(tail -1 "$work/record")"
windows=$(visible_windows)
xdotool mousemove $((wx + 300)) $((wy + 116)) click 1
wait_for '(($(visible_windows) > windows))' || fail "the device box did not open"
xdotool key Up Return
xdotool mousemove $((wx + 570)) $((wy + 116)) click 1
drag /music/b.wav
wait_for 'tail -1 "$work/record" | grep -q "hw:1,0.*b.wav"' || fail "Device Scan lost the chosen entry: $(tail -1 "$work/record")"

# While a dialog is open a drop is not taken; after it, one is.
xdotool mousemove $((wx + 570)) $((wy + 116)) key alt+e s  # the dialog opens there, off the drop's way
timeout 5 xdotool search --sync --onlyvisible --name '^Korvo - Playback Settings$' >/dev/null || fail "no Settings dialog"
drag /music/modal.wav
xdotool mousemove $((wx + 570)) $((wy + 116)) key Escape  # over the dialog, which opened at the pointer
wait_for '! xdotool search --onlyvisible --name "^Korvo - Playback Settings$" >/dev/null' || fail "Escape kept the dialog"
drag /music/c.wav
wait_for 'title_is "c.wav (1 of 1) Korvo"' || fail "the drop after the dialog did not play"
grep -q modal.wav "$work/record" && fail "a drop was taken while a dialog was open"

# Killed outright, Korvo still takes its player along.
player=$(last_player)
kill -KILL "$korvo_pid"
{ wait "$korvo_pid"; } 2>/dev/null || true
wait_for '! kill -0 "$player" 2>/dev/null' || fail "the player outlived a killed Korvo"

# Settings: the modulator level, DoP and volume chosen (by keyboard, Enter
# for Ok) reach brisa and are kept at quit.
printf 'Korvo config file version 1.0\ndevice-select:\tFake DAC at usb-1 USB Audio\ncommand-select:\tbrisa\n' \
  > "$work/home/.Korvo"
start_korvo "1|Fake DAC at usb-1|pcm=0"
xdotool mousemove $((wx + 570)) $((wy + 116)) key alt+e s  # keys go to the dialog under the pointer
settings=$(timeout 5 xdotool search --sync --onlyvisible --name '^Korvo - Playback Settings$' | head -1) ||
  fail "no Settings dialog"
xdotool key alt+l End alt+d alt+v minus 6
sleep 0.3  # for the screenshot only
import -window "$settings" "$out/korvo-settings.png"
xdotool key Return
wait_for '! xdotool search --onlyvisible --name "^Korvo - Playback Settings$" >/dev/null' || fail "Enter kept the dialog"
drag /music/brisa.wav
expected=$(printf 'brisa\t--control\t--wait-device\t-L7\t--dop\t--volume=-6\t-D\thw:1,0\t/music/brisa.wav')
wait_for 'grep -qxF "$expected" "$work/record"' || fail "brisa did not get the settings: $(tail -1 "$work/record")"
kill -TERM "$korvo_pid"
wait_for '! kill -0 "$korvo_pid" 2>/dev/null' || fail "Korvo did not end on SIGTERM"
for line in 'brisa-level:\t7' 'brisa-dop-flag:\t1' 'brisa-volume:\t-6'; do
  grep -qxF "$(printf "$line")" "$work/home/.Korvo" || fail "$line not stored: $(cat "$work/home/.Korvo")"
done

# Settings that cannot be saved (~/.Korvo is a directory) are said in a
# dialog at quit, which the user closes; Korvo then ends with status 1.
rm "$work/home/.Korvo"
mkdir "$work/home/.Korvo"
start_korvo "1|Fake DAC at usb-1|pcm=0"
kill -TERM "$korvo_pid"
korvo_dialog() { xdotool search --onlyvisible --name '^Korvo$' 2>/dev/null | grep -vx "$window" | head -1; }
wait_for 'dialog=$(korvo_dialog) && [[ -n "$dialog" ]]' || fail "no dialog for settings that cannot be saved"
import -window root "$out/korvo-save-failed.png"
eval "$(xdotool getwindowgeometry --shell "$dialog")"
xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT - 20)) click 1  # its Close button
wait_for '! kill -0 "$korvo_pid" 2>/dev/null' || fail "Korvo did not end after the save-failure dialog"
status=0
wait "$korvo_pid" || status=$?
((status == 1)) && grep -q "Config file $work/home/.Korvo cannot be written" "$work/korvo.log" ||
  fail "a failed save ended with status $status"
[[ -d "$work/home/.Korvo" ]] || fail "the directory in the settings' place was touched"
echo "Korvo window test passed; screenshots in $out"
