#!/usr/bin/env bash
# lumen's oversampling beside sox's very-high-quality resampler (`rate -v`)
# on this machine:
#   bench/resampler-speed.sh [build-dir]      (default build; SECONDS_OF_AUDIO=30)
#
# Speed: a 1 kHz tone (24-bit stereo, -6 dBFS) of SECONDS_OF_AUDIO seconds at
# 44.1 and 96 kHz goes through `lumen -os` into an ALSA null device (which
# takes data as fast as it comes) and through `sox ... rate -v 352800` into
# /dev/null as the same output: 32-bit signed stereo at 352.8 kHz, the rate
# and format lumen -os sends at every input rate. Real-time factor = audio
# seconds / CPU seconds (user + system, all threads), the best of 3 runs.
# lumen's CPU is the whole player (reading, filter, conversion to integers,
# ring buffer, ALSA); sox's is its whole chain too.
#
# Quality: the filter alone (bench/fir_images, built with
# -DPLAYERS_BUILD_BENCH=ON): -6 dBFS tones every 250 Hz to 20 kHz through
# fir_process; the worst in-band SNR (20 Hz-20 kHz) and the worst image
# rejection (strongest line from input rate - 20 kHz to 176.4 kHz against the
# tone). sox's float output for the same tones is analysed the same way.
set -euo pipefail

[ $# -le 1 ] || { echo "usage: $0 [build-dir]" >&2; exit 2; }
build=$(cd "${1:-build}" && pwd)
seconds=${SECONDS_OF_AUDIO:-30}
runs=3
rates=(44100 96000)
out_rate=352800

for tool in sox ffmpeg /usr/bin/time; do
  command -v "$tool" > /dev/null || { echo "needs $tool" >&2; exit 1; }
done
[ -x "$build/lumen/lumen" ] || { echo "no $build/lumen/lumen: build the lumen target" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'pcm.nulldev { type null }\n' > "$work/.asoundrc"
export HOME=$work

# CPU seconds (user + system) of the fastest of $runs runs of a command.
best_cpu() {
  local best="" cpu i
  for ((i = 0; i < runs; ++i)); do
    if ! /usr/bin/time -o "$work/timing" -f "%U %S" "$@" > "$work/run.out" 2>&1; then
      echo "failed: $*" >&2
      cat "$work/run.out" >&2
      exit 1
    fi
    cpu=$(awk '{ printf "%.3f", $1 + $2 }' "$work/timing")
    if [ -z "$best" ] || awk -v a="$cpu" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$cpu; fi
  done
  echo "$best"
}

echo "## Oversampling to $out_rate Hz, 32-bit stereo: $(uname -m), $(sox --version | sed 's/.*SoX //')"
echo
echo "${seconds} s of a 24-bit stereo tone; real-time factor = audio seconds / CPU seconds, best of $runs."
echo
echo "| input | lumen -os | CPU | sox rate -v | CPU | lumen / sox CPU |"
echo "|---|---:|---:|---:|---:|---:|"
for rate in "${rates[@]}"; do
  tone=$work/tone_$rate.wav
  ffmpeg -loglevel error -y -f lavfi \
    -i "aevalsrc=0.5*sin(2*PI*1000*t)|0.5*sin(2*PI*1000*t):s=$rate:d=$seconds" -c:a pcm_s24le -bitexact "$tone"
  lumen=$(best_cpu "$build/lumen/lumen" -D nulldev -os --silent "$tone")
  grep -q "^Open ${out_rate}Hzfs PCM stream" "$work/run.out" ||
    { echo "lumen -os did not open a $out_rate Hz stream:" >&2; cat "$work/run.out" >&2; exit 1; }
  sox=$(best_cpu sox -V1 "$tone" -b 32 -e signed-integer -t raw /dev/null rate -v "$out_rate")
  awk -v r="$rate" -v s="$seconds" -v l="$lumen" -v x="$sox" 'BEGIN {
    printf "| %.1f kHz | %.0fx | %.2f s | %.0fx | %.2f s | %.1f |\n", r / 1000, s / l, l, s / x, x, l / x }'
done

images=$build/bench/fir_images
if [ ! -x "$images" ]; then
  echo >&2
  echo "no $images (configure with -DPLAYERS_BUILD_BENCH=ON): filter quality left out" >&2
  exit 0
fi

# The worst rows of fir_images output per resampler and rate: lowest
# in-band SNR and lowest image rejection, with the tone each was found at.
worst() {
  awk -F'|' '{
      key = $2 "|" $3
      gsub(/ dB.*/, "", $6); gsub(/^ +| +$/, "", $4); split($7, im, " dB at "); sub(/ +$/, "", im[2])
      if (!(key in snr) || $6 + 0 < snr[key]) { snr[key] = $6 + 0; snr_at[key] = $4 }
      if (!(key in rej) || im[1] + 0 < rej[key]) { rej[key] = im[1] + 0; rej_at[key] = $4; rej_hz[key] = im[2] }
      if (!(key in order)) { order[key] = ++n; keys[n] = key }
    }
    END {
      for (i = 1; i <= n; ++i) {
        k = keys[i]
        printf "|%s| %.1f dB (tone %s) | %.1f dB (tone %s, image at %s) |\n", k, snr[k], snr_at[k], rej[k], rej_at[k],
               rej_hz[k]
      }
    }'
}

tones=$(seq -s, 250 250 20000)
{
  "$images" --rates="$(IFS=,; echo "${rates[*]}")" --tones="$tones"
  for rate in "${rates[@]}"; do
    for hz in ${tones//,/ }; do
      sox -V1 -n -r "$rate" -c 2 -e floating-point -b 32 -t raw - synth 0.6 sine "$hz" vol 0.5 |
        sox -V1 -t raw -r "$rate" -c 2 -e floating-point -b 32 - \
          -e floating-point -b 32 -t raw "$work/sox.f32" rate -v "$out_rate"
      "$images" --raw="$work/sox.f32" --rate="$rate" --tones="$hz" | sed 's/^| [^|]*|/| sox rate -v |/'
    done
  done
} > "$work/quality"

echo
echo "## Quality of the resampling alone (float output, -6 dBFS tones every 250 Hz to 20 kHz)"
echo
echo "| resampler | input | worst in-band SNR | worst image rejection |"
echo "|---|---|---:|---:|"
worst < "$work/quality"
