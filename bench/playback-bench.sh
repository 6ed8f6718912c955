#!/usr/bin/env bash
# Whole-process benchmarks of the players, as real-time factors and CPU load:
#   bench/playback-bench.sh [build-dir] [seconds]
# - conversion speed: a file of `seconds` (default 60) played into a fake DAC
#   that takes frames as fast as they come; real-time factor = audio seconds
#   / CPU seconds of the process (both threads);
# - playback load: 10 s played into a fake DAC paced by the wall clock; CPU
#   time of the process as a percentage of one core.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
seconds=${2:-60}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat > "$work/.asoundrc" <<CONF
pcm.instant { type fakedac formats [ "DSD_U32_BE" "S24_3LE" "S32_LE" ] rate_min 8000 rate_max 768000 mode "instant" }
pcm.paced { type fakedac formats [ "DSD_U32_BE" "S24_3LE" "S32_LE" ] rate_min 8000 rate_max 768000 mode "paced" }
CONF
export HOME=$work ALSA_PLUGIN_DIR=$build/alsa-plugins

tone() {  # tone <file> <seconds>
  ffmpeg -loglevel error -y -f lavfi -i "aevalsrc=0.5*sin(2*PI*1000*t)|0.5*sin(2*PI*1000*t):s=44100:d=$2" -c:a pcm_s16le "$1"
}
tone "$work/long.wav" "$seconds"
tone "$work/ten.wav" 10

# "CPU-seconds wall-seconds" of one run of the command (CPU: user + system).
cpu_and_wall() {
  local timing=$work/timing
  /usr/bin/time -o "$timing" -f "%U %S %e" "$@" > /dev/null 2>&1
  awk '{ printf "%.3f %.3f", $1 + $2, $3 }' "$timing"
}

factor() {  # factor <label> <audio seconds> <command...>
  local label=$1 audio=$2
  shift 2
  local cpu
  read -r cpu _ <<< "$(cpu_and_wall "$@")"
  awk -v l="$label" -v a="$audio" -v c="$cpu" 'BEGIN { printf "%-34s %7.1fx real time  (%.2f s CPU)\n", l, a / c, c }'
}

load() {  # load <label> <command...>
  local label=$1
  shift
  local cpu wall
  read -r cpu wall <<< "$(cpu_and_wall "$@")"
  awk -v l="$label" -v c="$cpu" -v w="$wall" 'BEGIN { printf "%-34s %7.1f %% of one core over %.1f s\n", l, 100 * c / w, w }'
}

[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 1; }
echo "conversion into an instant device, ${seconds} s of 44.1 kHz 16-bit stereo"
for level in 1 2 7; do
  for filter in "" --short-filter; do
    for output in "" --dop; do
      factor "brisa -L$level ${filter:-normal} ${output:-native}" "$seconds" \
        "$build/brisa/brisa" -D instant "-L$level" $filter $output --silent "$work/long.wav"
    done
  done
done
factor "lumen -os" "$seconds" "$build/lumen/lumen" -D instant -os --silent "$work/long.wav"
echo
echo "real-time playback into a paced device, 10 s (+ the lead-in)"
load "brisa -L1 native" "$build/brisa/brisa" -D paced --silent "$work/ten.wav"
load "brisa -L7 native" "$build/brisa/brisa" -D paced -L7 --silent "$work/ten.wav"
load "lumen" "$build/lumen/lumen" -D paced --silent "$work/ten.wav"
load "lumen -os" "$build/lumen/lumen" -D paced -os --silent "$work/ten.wav"
