#!/usr/bin/env bash
# ARM cost of the players, measured without a board:
#   bench/arm-cost.sh [--by-function] [armhf-build-dir] [host-build-dir]
# (defaults build-armhf and build; the host part is left out when that build
# has no players).
#
# ARM cost: the armhf players run under qemu-arm with the log of translated
# blocks and of every executed block (-d in_asm,exec,nochain) streamed
# through bench/qemu_insn_count.cpp, which weights each execution by the
# block's length. Counting starts at main: some library constructors time
# themselves, so what runs before main varies. Each mode plays two lengths of
# the same 1 kHz tone (16-bit stereo, -6 dBFS) into an ALSA null device,
# which takes data as fast as it comes; the difference of the two counts over
# the difference of the lengths is the cost of one second of audio, free of
# start-up, the 2 s silent lead-in and the buffer pre-fill. It is shown as
# millions of instructions per audio second and as the share of one core of
# a Cortex-A7 (CPI 1.3-2.0 at 0.9-1.2 GHz), A53 (1.0-1.5 at 1.2-1.5 GHz) and
# A72 (0.6-0.9 at 1.5-1.8 GHz): best case (low CPI, high clock) to worst
# case. Instruction counts are exact and repeatable; the CPI ranges are the
# guess, so compare modes and versions by the instruction column.
# --by-function adds each mode's top functions per audio second (library
# code is lumped per library). The host build's rows are real-time factors
# (audio seconds per CPU second) of the same modes into the null device.
# A full run takes about 20 minutes on two cores (each qemu run logs a few
# gigabytes, streamed, never stored); the host part takes seconds.
# MODES=<regex> keeps only the modes whose label matches (e.g. MODES='-L7'
# or MODES='lumen|96 kHz').
set -euo pipefail

usage() {
  echo "usage: $0 [--by-function] [armhf-build-dir] [host-build-dir]" >&2
  exit 2
}

by_function=false
if [ "${1:-}" = --by-function ]; then
  by_function=true
  shift
fi
case "${1:-}" in -*) usage ;; esac
[ $# -le 2 ] || usage
armhf=$(cd "${1:-build-armhf}" && pwd)
host=$(cd "${2:-build}" 2>/dev/null && pwd || true)
here=$(cd "$(dirname "$0")" && pwd)

short_seconds=0.1
long_seconds=0.3
host_seconds=30

for tool in qemu-arm ffmpeg c++ c++filt; do
  command -v "$tool" > /dev/null || { echo "needs $tool" >&2; exit 1; }
done
for player in brisa/brisa lumen/lumen; do
  [ -x "$armhf/$player" ] || { echo "no $armhf/$player: build the armhf targets brisa and lumen" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'pcm.nulldev { type null }\n' > "$work/.asoundrc"
export HOME=$work

counter=$work/qemu_insn_count
c++ -std=c++20 -O2 -o "$counter" "$here/qemu_insn_count.cpp"

# The tone file for <rate> and <seconds>, made once.
tone() {
  local file=$work/tone_$1_$2.wav
  [ -f "$file" ] || ffmpeg -loglevel error -y -f lavfi \
    -i "aevalsrc=0.5*sin(2*PI*1000*t)|0.5*sin(2*PI*1000*t):s=$1:d=$2" -c:a pcm_s16le -bitexact "$file"
  echo "$file"
}

# Instructions one armhf run executes from main on:
#   count_run <functions-file or ""> <player> <args...>
# The log reaches the counter through descriptor 3 (a pipe, never a file);
# the player's own output goes to player.out. Per-function counts need the
# syscall log too, for where each library was mapped.
count_run() {
  local functions=$1 items=in_asm,exec,nochain
  shift
  local counter_args=(--from main)
  if [ -n "$functions" ]; then
    items+=,strace
    counter_args+=(--functions "$functions")
  fi
  qemu-arm -d "$items" -D /dev/fd/3 "$@" 3>&1 > "$work/player.out" 2>&1 | "$counter" "${counter_args[@]}"
}

# The top functions of one mode: the long run's counts less the short run's,
# per audio second.
print_functions() {  # print_functions <label> <short-file> <long-file>
  echo
  echo "### $1: top functions"
  echo
  echo "| function | M instr / s | share |"
  echo "|---|---:|---:|"
  awk -F'\t' -v span="$(awk -v s="$short_seconds" -v l="$long_seconds" 'BEGIN { print l - s }')" '
    FNR == NR { short[$2] = $1; next }
    { diff[$2] = $1 - short[$2]; delete short[$2] }
    END {
      for (name in short) diff[name] = -short[name]
      for (name in diff) total += diff[name]
      for (name in diff) printf "%.3f\t%.1f\t%s\n", diff[name] / span / 1e6, 100 * diff[name] / total, name
    }' "$2" "$3" |
    sort -t$'\t' -k1,1gr | awk 'NR <= 12' | c++filt |
    awk -F'\t' '{ name = length($3) > 90 ? substr($3, 1, 87) "..." : $3
                  gsub(/\|/, "\\|", name)
                  printf "| %s | %.1f | %.1f %% |\n", name, $1, $2 }'
}

# One table row: the armhf player at two lengths, then the arithmetic.
#   arm_row <label> <rate> <player> <args...>
arm_row() {
  local label=$1 rate=$2 player=$3
  shift 3
  local counts=() functions=() seconds
  for seconds in "$short_seconds" "$long_seconds"; do
    local listing=""
    $by_function && listing=$work/functions_$seconds
    echo "  $label, $seconds s ..." >&2
    local count
    if ! count=$(count_run "$listing" "$armhf/$player" -D nulldev "$@" --silent "$(tone "$rate" "$seconds")"); then
      echo "the run of $label, $seconds s failed; the player's output:" >&2
      cat "$work/player.out" >&2
      exit 1
    fi
    counts+=("$count")
    functions+=("$listing")
  done
  awk -v l="$label" -v a="${counts[0]}" -v b="${counts[1]}" -v s="$short_seconds" -v t="$long_seconds" '
    function load(m, cpi_low, cpi_high, mhz_low, mhz_high) {
      return sprintf("%.0f–%.0f %%", 100 * m * cpi_low / mhz_high, 100 * m * cpi_high / mhz_low)
    }
    BEGIN {
      m = (b - a) / (t - s) / 1e6
      printf "| %s | %.0f | %s | %s | %s |\n", l, m, load(m, 1.3, 2.0, 900, 1200), load(m, 1.0, 1.5, 1200, 1500),
             load(m, 0.6, 0.9, 1500, 1800)
    }'
  if $by_function; then print_functions "$label" "${functions[0]}" "${functions[1]}" >> "$work/breakdown"; fi
}

# Audio seconds per CPU second (user + system) of one host run.
host_row() {  # host_row <label> <rate> <player> <args...>
  local label=$1 rate=$2 player=$3
  shift 3
  if ! /usr/bin/time -o "$work/timing" -f "%U %S" "$host/$player" -D nulldev "$@" --silent \
    "$(tone "$rate" "$host_seconds")" > "$work/player.out" 2>&1; then
    echo "the host run of $label failed; the player's output:" >&2
    cat "$work/player.out" >&2
    exit 1
  fi
  awk -v l="$label" -v a="$host_seconds" '{ c = $1 + $2; printf "| %s | %.1fx | %.2f s |\n", l, a / c, c }' \
    "$work/timing"
}

# One mode through the row function, unless MODES leaves it out.
mode() {  # mode <row-function> <label> ...
  if [ -n "${MODES:-}" ] && ! [[ $2 =~ $MODES ]]; then return 0; fi
  "$@"
}
# Every mode: <label> <rate> <player> <options...>, one a line.
modes() {
  mode "$@" "brisa -L1 normal 44.1 kHz" 44100 brisa/brisa -L1
  mode "$@" "brisa -L7 normal 44.1 kHz" 44100 brisa/brisa -L7
  mode "$@" "brisa -L1 normal 48 kHz" 48000 brisa/brisa -L1
  mode "$@" "brisa -L1 normal 96 kHz" 96000 brisa/brisa -L1
  mode "$@" "brisa -L1 short 44.1 kHz" 44100 brisa/brisa -L1 --short-filter
  mode "$@" "brisa -L7 normal 96 kHz" 96000 brisa/brisa -L7
  mode "$@" "lumen -os 44.1 kHz" 44100 lumen/lumen -os
}

echo "counting armhf instructions in $armhf (two qemu runs a mode) ..." >&2
: > "$work/breakdown"
echo "## ARM cost: $armhf"
echo
echo "Instructions per second of audio (${long_seconds} s run less ${short_seconds} s run); share of one core."
echo
echo "| mode | M instr / s | A7 | A53 | A72 |"
echo "|---|---:|---:|---:|---:|"
modes arm_row
cat "$work/breakdown"

if [ -n "$host" ] && [ -x "$host/brisa/brisa" ] && [ -x "$host/lumen/lumen" ] && [ -x /usr/bin/time ]; then
  echo
  echo "## Host conversion speed: $host"
  echo
  echo "${host_seconds} s of audio into the null device, real-time factor = audio seconds / CPU seconds."
  echo
  echo "| mode | real time | CPU |"
  echo "|---|---:|---:|"
  modes host_row
else
  echo >&2
  echo "no host players (or no /usr/bin/time) in '${2:-build}': host speeds left out" >&2
fi
