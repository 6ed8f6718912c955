#!/usr/bin/env bash
# make demo: brisa plays a demo tone (or FILE=...) as a one-bit stream. With
# a sound card it plays on it (a known DSD DAC is found by name); without one
# the stream goes into a capture file, which the analyser then measures.
# With a display, Korvo starts afterwards (KORVO=0 leaves it out).
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
demo=$build/demo
mkdir -p "$demo"

file=${FILE:-}
if [ -z "$file" ]; then
  file=$demo/tone.wav
  ffmpeg -loglevel error -y -f lavfi -i "aevalsrc=0.5*sin(2*PI*1000*t)|0.5*sin(2*PI*1000*t):s=44100:d=4" \
    -c:a pcm_s16le "$file"
  echo "demo tone: $file (1 kHz at -6 dBFS, 44.1 kHz 16-bit stereo, 4 s)"
fi

if [ -d /dev/snd ] && ls /dev/snd/pcmC* >/dev/null 2>&1; then
  echo "== brisa $file (on this machine's sound card)"
  "$build/brisa/brisa" "$file"
else
  # No sound card: a capture device named by rate and format.
  cat > "$demo/.asoundrc" <<CONF
pcm.capture {
  type file
  slave.pcm null
  file "$demo/brisa_%r_%f.dsd"
  format raw
}
CONF
  rm -f "$demo"/brisa_*.dsd
  echo "== no sound card here: brisa plays into a capture file"
  echo "== brisa -D capture $file"
  HOME=$demo "$build/brisa/brisa" -D capture "$file"
  stream=$demo/brisa_352800_DSD_U32_BE.dsd
  echo
  echo "The native DSD stream (DSD_U32_BE, 11.2896 MHz, 2 s of silence first) is in"
  echo "  $stream ($(stat -c %s "$stream") bytes)"
  echo "What the analyser hears in its left channel (the filter's gain is 0.9, -0.9 dB):"
  "$build/tools/dsd_analyse" --layout=u32be --channel=0 --tone=1000 --skip=2.5 "$stream"
fi

if [ -n "${DISPLAY:-}" ] && [ "${KORVO:-1}" != 0 ] && [ -x "$build/korvo/Korvo" ]; then
  echo "== starting Korvo"
  PATH="$build/brisa:$build/lumen:$PATH" "$build/korvo/Korvo" &
fi
