#!/usr/bin/env bash
# Builds and runs every reader fuzz target for a while:
#   tools/run-fuzzers.sh <plain-build-dir> <fuzz-build-dir> <seconds>
# The seed corpus comes from <plain-build-dir>/tests/make_fuzz_corpus.
# Exits non-zero, with the end of the log, on any finding.
set -euo pipefail

# target: the common/ modules it links (tests/fuzz/fuzz_<target>.cpp).
targets=(
  "wav: wav readwrite util"
)

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

# shellcheck disable=SC2054  # the commas belong to -fsanitize
flags=(-std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -D_FILE_OFFSET_BITS=64 -D_GNU_SOURCE -I "$root/common")

failed=0
for entry in "${targets[@]}"; do
  name=${entry%%:*}
  read -r -a modules <<< "${entry#*:}"
  sources=("$root/tests/fuzz/fuzz_$name.cpp")
  for module in "${modules[@]}"; do sources+=("$root/common/$module.cpp"); done

  binary=$fuzz_dir/fuzz_$name
  log=$fuzz_dir/fuzz_$name.log
  echo "building fuzz_$name"
  clang++ "${flags[@]}" "${sources[@]}" -o "$binary"

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
