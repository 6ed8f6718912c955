#!/usr/bin/env bash
# make demo: shows the built players. Playback arrives with the output
# thread; until then this prints what each player is and how it is called.
set -euo pipefail
build=${1:-build}

for player in brisa/brisa lumen/lumen lumen/lumen-dsf; do
  echo "== $player --version"
  "$build/$player" --version
done
echo
echo "== brisa --help"
"$build/brisa/brisa" --help || true
