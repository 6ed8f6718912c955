#!/usr/bin/env bash
# Plays one set of generated files through two builds of the players into
# ALSA capture files and compares every captured byte: a change meant to
# leave the output alone must give identical captures. Prints one line per
# case ("same" or "DIFFERS") and exits 1 when any differs.
#   tools/compare-captures.sh OLD_BUILD_DIR NEW_BUILD_DIR
# Each BUILD_DIR holds brisa/brisa, lumen/lumen and lumen/lumen-dsf.
# CASES="brisa-l7 lumen-os" runs only the cases named.
set -euo pipefail

old=$(cd "$1" && pwd)
new=$(cd "$2" && pwd)
command -v ffmpeg >/dev/null || { echo "compare-captures: ffmpeg is missing" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Inputs: tones at two rate families and widths, a float file, a DSD64 DSF.
tone() {  # rate codec seconds name
  ffmpeg -loglevel error -y -f lavfi -i "aevalsrc=0.5*sin(2*PI*1000*t)|0.4*sin(2*PI*1500*t):s=$1:d=$3" \
    -c:a "$2" "$work/$4"
}
tone 44100 pcm_s16le 1.5 a44.wav
tone 48000 pcm_s24le 1.2 b48.wav
tone 96000 pcm_f32le 1.0 c96.wav
tone 352800 pcm_s24le 0.5 d352.wav
tone 44100 flac 1.0 e44.flac
# DSD64, 1.2 s: a DSF file of noise-shaped-looking bytes (any bytes will do).
python3 - "$work/f64.dsf" <<'PY'
import struct, sys, random
rng = random.Random(7)
rate, block = 2822400, 4096
samples = int(rate * 1.2)
per_channel = (samples + 7) // 8
blocks = (per_channel + block - 1) // block
data = bytearray()
for _ in range(blocks):
    for _channel in range(2):
        data += bytes(rng.choice((0x69, 0x96, 0xA5, 0x5A, 0x6A)) for _ in range(block))
fmt = struct.pack("<4sQIIIIIIQII", b"fmt ", 52, 1, 0, 2, 2, rate, 1, samples, block, 0)
body = fmt + struct.pack("<4sQ", b"data", 12 + len(data)) + data
with open(sys.argv[1], "wb") as f:
    f.write(struct.pack("<4sQQQ", b"DSD ", 28, 28 + len(body), 0) + body)
PY

# case name, program, then its arguments (files relative to the work folder).
cases=(
  "brisa-l1|brisa|-L1 a44.wav b48.wav"
  "brisa-l2|brisa|-L2 a44.wav c96.wav"
  "brisa-l7|brisa|-L7 a44.wav b48.wav d352.wav"
  "brisa-l7-short|brisa|-L7 --short-filter b48.wav a44.wav"
  "brisa-dop|brisa|--dop -L2 a44.wav b48.wav"
  "brisa-volume-cut|brisa|-L1 --volume=-7 --left-cut a44.wav"
  "brisa-dsd|brisa|f64.dsf a44.wav"
  "brisa-dsd-dop|brisa|--dop f64.dsf"
  "brisa-flac|brisa|-L7 e44.flac"
  "lumen-pcm|lumen|a44.wav e44.flac b48.wav"
  "lumen-os|lumen|-os a44.wav b48.wav c96.wav"
  "lumen-cut|lumen|--right-cut b48.wav"
  "lumen-dsd|lumen|f64.dsf"
  "lumen-dsf|lumen-dsf|f64.dsf a44.wav"
  "brisa-dsd-cut|brisa|--left-cut f64.dsf"
  "lumen-dsd-cut|lumen|--right-cut f64.dsf"
)

# Runs one case with one build; leaves "<sha256> <file>" lines in $3.
run_case() {
  local bin=$1 spec=$2 out=$3
  local program args dir
  IFS='|' read -r _ program args <<<"$spec"
  dir=$(mktemp -d -p "$work")
  cat >"$dir/.asoundrc" <<CONF
pcm.capture {
  type file
  slave.pcm null
  file "$dir/cap_%r_%f.raw"
  format raw
}
CONF
  local path=$bin/brisa/brisa
  [ "$program" = brisa ] || path=$bin/lumen/$program
  local words=()
  for word in $args; do
    if [ -e "$work/$word" ]; then words+=("$work/$word"); else words+=("$word"); fi
  done
  local code=0
  (cd "$dir" && HOME=$dir "$path" -D capture --silent "${words[@]}" </dev/null >/dev/null 2>&1) || code=$?
  (cd "$dir" && sha256sum cap_*.raw 2>/dev/null; echo "exit status $code") >"$out"
}

set +e
status=0
for spec in "${cases[@]}"; do
  name=${spec%%|*}
  if [ -n "${CASES:-}" ] && [[ " $CASES " != *" $name "* ]]; then continue; fi
  run_case "$old" "$spec" "$work/$name.old"
  run_case "$new" "$spec" "$work/$name.new"
  if cmp -s "$work/$name.old" "$work/$name.new"; then
    echo "same     $name ($(grep -c raw "$work/$name.new") captures)"
  else
    echo "DIFFERS  $name"
    diff "$work/$name.old" "$work/$name.new" | sed 's/^/         /'
    status=1
  fi
done
exit $status
