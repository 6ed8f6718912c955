#!/usr/bin/env bash
# Builds the Debian packages (brisa, lumen, korvo, korvod) for the machine's own
# architecture and, with the cross toolchain, for the board (armhf):
#   tools/make-debs.sh <output-dir> [armhf]
# Each architecture builds in its own copy of the sources under the output
# directory, where dpkg-buildpackage leaves the .deb files; lintian then
# checks them. The tests are not run here (make check runs them in its own
# trees).
set -euo pipefail

if [[ $# -lt 1 ]]; then
  echo "usage: $0 <output-dir> [armhf]" >&2
  exit 2
fi
out=$(mkdir -p "$1" && cd "$1" && pwd)
shift
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-$(nproc)}
export DEB_BUILD_OPTIONS="nocheck noautodbgsym parallel=$jobs"

# build_for <arch> [dpkg-buildpackage options...]
build_for() {
  local arch=$1
  shift
  local src=$out/src-$arch
  rm -rf "$src" "$out"/*_"$arch".deb "$out"/*_"$arch".changes "$out"/*_"$arch".buildinfo
  mkdir -p "$src"
  # The sources as they are in the work tree, without build trees or history.
  tar -C "$root" --exclude-vcs --exclude='./build*' --exclude=./tests/fuzz/corpus -cf - . | tar -C "$src" -xf -
  echo "== packages for $arch"
  (cd "$src" && dpkg-buildpackage -b -us -uc "$@" > "$out/build-$arch.log" 2>&1) || {
    tail -n 40 "$out/build-$arch.log" >&2
    echo "dpkg-buildpackage for $arch failed: $out/build-$arch.log" >&2
    exit 1
  }
  lintian --fail-on error "$out"/*_"$arch".changes
  ls "$out"/*_"$arch".deb
}

build_for "$(dpkg --print-architecture)" -Pnocheck
for arch in "$@"; do
  build_for "$arch" -a"$arch" -Pcross,nocheck
done
