#!/usr/bin/env bash
# Measures the oversampling filter through the whole players at every input
# rate: -6 dBFS float tones played by brisa -L7 (normal and short filter)
# and lumen -os into ALSA capture files, analysed in the audio band. Prints
# one markdown table: in-band SNR (noise and spurs from 20 Hz to 20 kHz
# against the tone) at 1 kHz and at a second tone (10 kHz, or just under
# half the rate), and the level of a 19 kHz tone relative to 1 kHz.
#   tools/measure-rates.sh [BUILD_DIR [ANALYSER_BUILD_DIR]]
# BUILD_DIR holds brisa/brisa and lumen/lumen (default: build),
# ANALYSER_BUILD_DIR tools/dsd_analyse (default: BUILD_DIR).
# RATES="48000 96000" measures only those rates; JOBS=1 runs one player at
# a time (default 2). About two minutes on two idle cores.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
players=$(cd "${1:-$here/build}" && pwd)
analyser=$(cd "${2:-$players}" && pwd)/tools/dsd_analyse
brisa=$players/brisa/brisa
lumen=$players/lumen/lumen
rates=${RATES:-22050 32000 44100 48000 88200 96000 176400 192000}
max_jobs=${JOBS:-2}

for tool in "$brisa" "$lumen" "$analyser"; do
  if [ ! -x "$tool" ]; then
    echo "measure-rates: $tool not found; build brisa, lumen and dsd_analyse first" >&2
    exit 1
  fi
done
command -v ffmpeg >/dev/null || { echo "measure-rates: ffmpeg is missing" >&2; exit 1; }
# An older analyser lacks the s32le layout (lumen's capture) and --length.
probe=$("$analyser" --layout=s32le --length=1 /dev/null 2>&1 || true)
if [[ $probe != *"too short"* ]]; then
  echo "measure-rates: $analyser lacks --layout=s32le or --length; use a newer build" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Tones last 3 s. brisa plays 2 s of silence first and lumen 1 s; the
# analysis starts 0.3 s into the tone and takes 0.37 s of it (2^22 bits of
# the one-bit stream, 2^17 PCM frames: 2.7 Hz bins). Longer windows give
# the same figures within 0.05 dB and take several times as long.
tone_seconds=3
second_tone() {
  case $1 in
    22050) echo 9000 ;;
    32000) echo 14000 ;;
    *) echo 10000 ;;
  esac
}
tones_of() {
  local rate=$1
  echo 1000 "$(second_tone "$rate")"
  if [ "$rate" -ge 44100 ]; then echo 19000; fi
}

make_tone() {
  local rate=$1 hz=$2
  local sine="0.5*sin(2*PI*$hz*t)"
  ffmpeg -loglevel error -y -f lavfi -i "aevalsrc=$sine|$sine:s=$rate:d=$tone_seconds" -c:a pcm_f32le \
    "$work/tone_${rate}_$hz.wav"
}

# One job: a player plays one tone into its own capture device (HOME holds
# the .asoundrc) and the analyser measures the left channel. Writes
# "tone_dBFS SNR_dB", or "fail", to results/NAME.
run_job() {
  local player=$1 rate=$2 hz=$3
  local name=${player}_${rate}_$hz
  local dir=$work/$name
  mkdir -p "$dir"
  cat > "$dir/.asoundrc" <<CONF
pcm.capture {
  type file
  slave.pcm null
  file "$dir/cap_%r_%f.raw"
  format raw
}
CONF
  local command capture layout skip
  case $player in
    brisa) command=("$brisa" -L7) ;;
    brisa-short) command=("$brisa" -L7 --short-filter) ;;
    lumen) command=("$lumen" -os) ;;
  esac
  if [ "$player" = lumen ]; then
    capture=$dir/cap_352800_S32_LE.raw layout=s32le skip=1.3
  else
    capture=$dir/cap_352800_DSD_U32_BE.raw layout=u32be skip=2.3
  fi
  local result=fail
  if ! HOME=$dir timeout 120 "${command[@]}" -D capture --silent "$work/tone_${rate}_$hz.wav" \
      </dev/null >"$dir/player.log" 2>&1; then
    echo "measure-rates: $player failed on $rate Hz, $hz Hz: $(tail -n 3 "$dir/player.log")" >&2
  elif [ ! -s "$capture" ]; then
    echo "measure-rates: $player wrote no $(basename "$capture") (found: $(cd "$dir" && echo cap_*))" >&2
  elif "$analyser" --layout=$layout --channel=0 --tone="$hz" --skip=$skip --length=0.4 "$capture" >"$dir/analysis" 2>&1; then
    result=$(awk '/^tone:/ { tone = $2 } /^SNR:/ { snr = $2 } END { print tone, snr }' "$dir/analysis")
    echo "$player $rate Hz, $hz Hz tone: $(sed -n 's/^tone: //p' "$dir/analysis"), SNR $(sed -n 's/^SNR: //p' "$dir/analysis")" >&2
  else
    echo "measure-rates: analysis of $player $rate Hz, $hz Hz failed: $(cat "$dir/analysis")" >&2
  fi
  echo "$result" > "$work/results/$name"
  rm -rf "$dir"
}

mkdir -p "$work/results"
job_list=()
for rate in $rates; do
  for hz in $(tones_of "$rate"); do
    make_tone "$rate" "$hz"
    job_list+=("brisa $rate $hz" "lumen $rate $hz")
    if [ "$hz" != 19000 ]; then job_list+=("brisa-short $rate $hz"); fi
  done
done
running=0
for job in "${job_list[@]}"; do
  # shellcheck disable=SC2086  # a job is three words
  run_job $job &
  running=$((running + 1))
  if [ "$running" -ge "$max_jobs" ]; then
    wait -n
    running=$((running - 1))
  fi
done
wait

field() {  # field PLAYER RATE HZ COLUMN(1 tone, 2 SNR)
  local value
  value=$(cat "$work/results/$1_$2_$3" 2>/dev/null || echo fail)
  if [ "$value" = fail ]; then echo fail; else echo "$value" | cut -d' ' -f"$4"; fi
}
snr() {
  local value
  value=$(field "$@" 2)
  if [ "$value" = fail ]; then echo fail; else printf '%.1f' "$value"; fi
}
# The 19 kHz tone's level minus the 1 kHz tone's, through the same player.
relative_19k() {
  local a b
  a=$(field "$1" "$2" 19000 1)
  b=$(field "$1" "$2" 1000 1)
  if [ "$a" = fail ] || [ "$b" = fail ]; then echo fail; else awk -v a="$a" -v b="$b" 'BEGIN { printf "%+.2f", a - b }'; fi
}
khz() { awk -v hz="$1" 'BEGIN { printf "%g kHz", hz / 1000 }'; }

echo "In-band SNR in dB (20 Hz - 20 kHz, noise and spurs against a -6 dBFS float tone, left channel);"
echo "19 kHz: that tone's level relative to the 1 kHz tone's, in dB."
echo
echo "| input | 2nd tone | brisa -L7 1 kHz | brisa -L7 2nd tone | brisa 19 kHz | --short-filter 1 kHz | --short-filter 2nd tone | lumen -os 1 kHz | lumen -os 2nd tone | lumen 19 kHz |"
echo "|---|---|---|---|---|---|---|---|---|---|"
for rate in $rates; do
  two=$(second_tone "$rate")
  b19=- l19=-
  if [ "$rate" -ge 44100 ]; then
    b19=$(relative_19k brisa "$rate") l19=$(relative_19k lumen "$rate")
  fi
  echo "| $(khz "$rate") | $(khz "$two") | $(snr brisa "$rate" 1000) | $(snr brisa "$rate" "$two") | $b19" \
    "| $(snr brisa-short "$rate" 1000) | $(snr brisa-short "$rate" "$two")" \
    "| $(snr lumen "$rate" 1000) | $(snr lumen "$rate" "$two") | $l19 |"
done
# Any job without a measurement fails the run.
for job in "${job_list[@]}"; do
  # shellcheck disable=SC2086  # a job is three words
  set -- $job
  if [ "$(field "$1" "$2" "$3" 1)" = fail ]; then exit 1; fi
done
