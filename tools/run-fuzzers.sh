#!/usr/bin/env bash
# Builds and runs every reader fuzz target for a while:
#   tools/run-fuzzers.sh <plain-build-dir> <fuzz-build-dir> <seconds>
# The seed corpus comes from <plain-build-dir>/tests/make_fuzz_corpus.
# Exits non-zero, with the end of the log, on any finding.
set -euo pipefail

# target: the common/ modules it links (tests/fuzz/fuzz_<target>.cpp)
# [| the pkg-config packages it links].
targets=(
  "wav: wav readwrite util"
  "dff: dsf readwrite util"
  "wsd: dsf readwrite util"
  "dsf: dsf readwrite util"
  "ffmpeg: ffmpeg_old util | libavformat libavcodec libavutil"
)

# Seeds for the FFmpeg adapter: short encoded files of several kinds.
ffmpeg_seeds() {
  local dir=$1
  mkdir -p "$dir"
  local source=(-f lavfi -i "sine=frequency=1000:sample_rate=44100:duration=0.05")
  for kind in flac:flac mp3:libmp3lame m4a:aac ogg:libvorbis aiff:pcm_s16be caf:pcm_s24le au:pcm_f64be wv:wavpack; do
    ffmpeg -loglevel quiet -y "${source[@]}" -c:a "${kind#*:}" "$dir/seed.${kind%%:*}" || true
  done
}

if [[ $# -ne 3 ]]; then
  echo "usage: $0 <plain-build-dir> <fuzz-build-dir> <seconds>" >&2
  exit 2
fi
plain_dir=$1
fuzz_dir=$2
seconds=$3
root=$(cd "$(dirname "$0")/.." && pwd)

mkdir -p "$fuzz_dir"
fuzz_dir=$(cd "$fuzz_dir" && pwd)
corpus_dir=$fuzz_dir/corpus
"$plain_dir/tests/make_fuzz_corpus" "$corpus_dir"
ffmpeg_seeds "$corpus_dir/ffmpeg"

# shellcheck disable=SC2054  # the commas belong to -fsanitize
flags=(-std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -D_FILE_OFFSET_BITS=64 -D_GNU_SOURCE -I "$root/common")

failed=0
for entry in "${targets[@]}"; do
  name=${entry%%:*}
  spec=${entry#*:}
  read -r -a modules <<< "${spec%%|*}"
  libs=()
  if [[ $spec == *"|"* ]]; then read -r -a libs <<< "$(pkg-config --cflags --libs ${spec#*|})"; fi
  sources=("$root/tests/fuzz/fuzz_$name.cpp")
  for module in "${modules[@]}"; do sources+=("$root/common/$module.cpp"); done

  binary=$fuzz_dir/fuzz_$name
  log=$fuzz_dir/fuzz_$name.log
  echo "building fuzz_$name"
  clang++ "${flags[@]}" "${sources[@]}" "${libs[@]}" -o "$binary"

  echo "running fuzz_$name for $seconds s (log: $log)"
  mkdir -p "$corpus_dir/$name" "$fuzz_dir/artifacts"
  # The readers' own messages on damaged files would flood the log: close
  # the target's stdout and stderr (libFuzzer keeps its reports).
  if ! "$binary" -max_total_time="$seconds" -rss_limit_mb=2048 -close_fd_mask=3 \
       -artifact_prefix="$fuzz_dir/artifacts/$name-" "$corpus_dir/$name" > "$log" 2>&1; then
    echo "fuzz_$name found a problem:" >&2
    tail -n 40 "$log" >&2
    failed=1
  fi
done
exit "$failed"
