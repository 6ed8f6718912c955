#!/usr/bin/env bash
# Builds and runs every fuzz target for a while:
#   tools/run-fuzzers.sh <fuzz-build-dir> <seconds>
# The targets are this project's CMake tree configured with PLAYERS_FUZZ
# (clang); their seed corpus comes from the make_fuzz_corpus it builds.
# Exits non-zero, with the end of the log, on any finding.
set -euo pipefail

# Seeds for the FFmpeg adapter: short encoded files of several kinds.
ffmpeg_seeds() {
  local dir=$1
  mkdir -p "$dir"
  local source=(-f lavfi -i "sine=frequency=1000:sample_rate=44100:duration=0.05")
  for kind in flac:flac mp3:libmp3lame m4a:aac ogg:libvorbis aiff:pcm_s16be caf:pcm_s24le au:pcm_f64be wv:wavpack; do
    ffmpeg -loglevel quiet -y "${source[@]}" -c:a "${kind#*:}" "$dir/seed.${kind%%:*}" || true
  done
}

if [[ $# -ne 2 ]]; then
  echo "usage: $0 <fuzz-build-dir> <seconds>" >&2
  exit 2
fi
fuzz_dir=$1
seconds=$2
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-$(nproc)}

# Only the fuzz targets are built: the tree's tests and front-end stay out.
read -r -a cmake_flags <<< "${CMAKE_FLAGS:-}"
CC=clang CXX=clang++ cmake -S "$root" -B "$fuzz_dir" "${cmake_flags[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPLAYERS_FUZZ=ON -DPLAYERS_BUILD_KORVO=OFF
cmake --build "$fuzz_dir" -j "$jobs" --target fuzz_targets
fuzz_dir=$(cd "$fuzz_dir" && pwd)
targets_dir=$fuzz_dir/tests/fuzz

corpus_dir=$fuzz_dir/corpus
"$targets_dir/make_fuzz_corpus" "$corpus_dir"
ffmpeg_seeds "$corpus_dir/ffmpeg"

# Runs one target; on a finding, shows the end of its log and fails.
fuzz_one() {
  local name=$1
  local binary=$targets_dir/fuzz_$name log=$fuzz_dir/fuzz_$name.log
  echo "running fuzz_$name for $seconds s (log: $log)"
  mkdir -p "$corpus_dir/$name"
  # The readers' own messages on damaged files would flood the log: close
  # the target's stdout and stderr (libFuzzer keeps its reports).
  # An input that takes over 20 s is a hang, and a finding.
  if ! "$binary" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -close_fd_mask=3 \
       -artifact_prefix="$fuzz_dir/artifacts/$name-" "$corpus_dir/$name" > "$log" 2>&1; then
    echo "fuzz_$name found a problem:" >&2
    tail -n 40 "$log" >&2
    return 1
  fi
}

# Each target runs on one core for the whole time: run as many at once as
# there are jobs.
mkdir -p "$fuzz_dir/artifacts"
failed=0
running=0
for source in "$root"/tests/fuzz/fuzz_*.cpp; do
  name=${source##*/fuzz_}
  if (( running >= jobs )); then
    wait -n || failed=1
    running=$((running - 1))
  fi
  fuzz_one "${name%.cpp}" &
  running=$((running + 1))
done
while (( running > 0 )); do
  wait -n || failed=1
  running=$((running - 1))
done
exit "$failed"
