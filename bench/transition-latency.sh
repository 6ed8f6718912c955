#!/usr/bin/env bash
# How soon a key is heard, per action and player, into a fake DAC paced by
# the wall clock; then how often playback underruns while two CPU hogs run:
#   bench/transition-latency.sh [build-dir] [runs]
# BRISA and LUMEN override the players measured (e.g. an older build's).
# Latency: from the key written to the player's standard input to the first
# frame the DAC plays that differs from an undisturbed run (for a resume, the
# first music frame after the pause's idle frames); min / median / max of
# `runs` runs (default 3), in seconds.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
runs=${2:-3}
brisa=${BRISA:-$build/brisa/brisa}
lumen=${LUMEN:-$build/lumen/lumen}
work=$(mktemp -d)
probe=$work/key_latency
hogs=()
trap 'for h in "${hogs[@]}"; do kill "$h" 2>/dev/null || true; done; rm -rf "$work"' EXIT

cat > "$work/.asoundrc" <<CONF
pcm.dac { type fakedac formats [ "S24_3LE" ] rate_min 8000 rate_max 768000 mode "paced"
          output "$work/dac.raw" log "$work/dac.log" }
CONF
export HOME=$work ALSA_PLUGIN_DIR=$build/alsa-plugins
"${CXX:-c++}" -std=c++20 -O2 -Wall -o "$probe" "$(dirname "$0")/key_latency.cpp"

tone() {  # tone <file> <seconds> <Hz>
  ffmpeg -loglevel error -y -f lavfi -i "aevalsrc=0.5*sin(2*PI*$3*t)|0.5*sin(2*PI*$3*t):s=44100:d=$2" \
    -c:a pcm_s24le "$1"
}
tone "$work/a.wav" 6 1000
tone "$work/b.wav" 6 1500

# player name -> command, rate, frame bytes, idle frame bytes
command_of() { if [ "$1" = brisa ]; then echo "$brisa -D dac"; else echo "$lumen -D dac"; fi; }
rate_of() { if [ "$1" = brisa ]; then echo 352800; else echo 44100; fi; }
idle_of() { if [ "$1" = brisa ]; then echo aafa05; else echo 00; fi; }

reference() {  # reference <player>: the list played without keys
  rm -f "$work/dac.raw" "$work/dac.log"
  # shellcheck disable=SC2046
  $(command_of "$1") "$work/a.wav" "$work/b.wav" < /dev/null > /dev/null 2>&1
  cp "$work/dac.raw" "$work/$1.reference"
}

# once <player> <measure> <steps...>: one run's latency
once() {
  local player=$1 measure=$2
  shift 2
  rm -f "$work/dac.raw" "$work/dac.log"
  # shellcheck disable=SC2046
  "$probe" "$work/dac.raw" "$work/dac.log" "$work/$player.reference" "$(rate_of "$player")" 6 \
    "$(idle_of "$player")" "$measure" "$@" -- $(command_of "$player") "$work/a.wav" "$work/b.wav"
}

# measure <player> <action> <measure> <steps...>: one table row
measure() {
  local player=$1 action=$2
  shift 2
  local values=()
  for _ in $(seq "$runs"); do values+=("$(once "$player" "$@")"); done
  printf '%s\n' "${values[@]}" | sort -g | awk -v p="$player" -v a="$action" '
    { v[NR] = $1 }
    END { printf "%-6s %-9s %7s %7s %7s\n", p, a, v[1], v[int((NR + 1) / 2)], v[NR] }'
}

at="position 00:01"
echo "key to change heard at the DAC, seconds (min / median / max of $runs)"
printf "%-6s %-9s %7s %7s %7s\n" player action min median max
for player in brisa lumen; do
  reference "$player"
  measure "$player" pause change "$at" " " 0 "pause" q 0.3
  measure "$player" resume resume "$at" " " 0 "pause" " " 0.4 "$at" q 0.5
  measure "$player" next change "$at" n 0 "playing file 2/2" q 0.5
  measure "$player" previous change "$at" p 0 "$at" q 0.5
  measure "$player" seek change "$at" , 0 "$at" q 0.3
  measure "$player" quit change "$at" q 0
  if [ "$player" = brisa ]; then measure brisa volume change "$at" - 0 "volume -1" q 0.5; fi
done

echo
echo "underruns while two CPU hogs run, 20 s of music each"
tone "$work/long.wav" 20 1000
for _ in 1 2; do
  (while :; do :; done) &
  hogs+=($!)
done
for player in brisa lumen; do
  # shellcheck disable=SC2046
  count=$($(command_of "$player") "$work/long.wav" < /dev/null 2>&1 | grep -c "underrun at" || true)
  echo "$player: $count"
done
