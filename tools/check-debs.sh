#!/usr/bin/env bash
# Checks the packages tools/make-debs.sh left in <output-dir>:
#   tools/check-debs.sh <output-dir> [armhf]
# The machine's own packages are installed with dpkg into a throw-away root,
# and what they installed runs there: the players' --version, man on every
# page (without a warning), Korvo's German catalogue. korvod is unpacked
# there instead (its maintainer scripts create a system user). The board's
# packages are checked by their contents: every file in place, every program
# an ARM hard-float executable with NEON.
set -euo pipefail

if [[ $# -lt 1 ]]; then
  echo "usage: $0 <output-dir> [armhf]" >&2
  exit 2
fi
out=$(cd "$1" && pwd)
shift
version=$(dpkg-parsechangelog -l "$(dirname "$0")/../debian/changelog" -S Version)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() {
  echo "check-debs: $*" >&2
  exit 1
}

# What each package must carry (man pages as dh_installman compresses them).
declare -A contents=(
  [brisa]="usr/bin/brisa usr/share/man/man1/brisa.1.gz"
  [lumen]="usr/bin/lumen usr/bin/lumen-dsf usr/share/man/man1/lumen.1.gz usr/share/man/man1/lumen-dsf.1.gz"
  [korvo]="usr/bin/Korvo usr/share/man/man1/Korvo.1.gz usr/share/applications/Korvo.desktop
           usr/share/icons/hicolor/scalable/apps/Korvo.svg usr/share/locale/de/LC_MESSAGES/Korvo.mo"
  [korvod]="usr/bin/korvod usr/share/man/man1/korvod.1.gz etc/korvod.conf lib/systemd/system/korvod.service
            usr/lib/sysusers.d/korvod.conf"
)

# check_contents <arch>: every package of that architecture carries its files.
check_contents() {
  local arch=$1 package deb listing path
  for package in "${!contents[@]}"; do
    deb=$out/${package}_${version}_$arch.deb
    [[ -f $deb ]] || fail "$deb is missing"
    listing=$(dpkg-deb -c "$deb")
    for path in ${contents[$package]}; do
      grep -q " \./$path\( \|$\)" <<< "$listing" || fail "$(basename "$deb") lacks /$path"
    done
  done
}

check_installed() {
  local arch root page translated
  arch=$(dpkg --print-architecture)
  check_contents "$arch"
  root=$scratch/root
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
  touch "$root/var/lib/dpkg/status"
  # The libraries they depend on are the host's, outside the root: dpkg
  # reports them missing there and installs all the same.
  dpkg --root="$root" --force-depends --force-not-root -i "$out"/{brisa,lumen,korvo}_${version}_"$arch".deb > "$scratch/dpkg.log" 2>&1 ||
    { cat "$scratch/dpkg.log" >&2; fail "dpkg could not install the packages"; }
  dpkg-deb -x "$out/korvod_${version}_$arch.deb" "$root"
  dpkg-deb -f "$out/korvod_${version}_$arch.deb" Depends | grep -q '^brisa | lumen,' || fail "korvod does not depend on a player"
  dpkg-deb --ctrl-tarfile "$out/korvod_${version}_$arch.deb" | tar -xOf - ./conffiles | grep -qx /etc/korvod.conf ||
    fail "/etc/korvod.conf is not a conffile"
  "$root/usr/bin/brisa" --version | grep -q '^brisa Ver\.' || fail "the installed brisa gives no version"
  "$root/usr/bin/lumen" --version | grep -q '^lumen Ver\.' || fail "the installed lumen gives no version"
  "$root/usr/bin/lumen-dsf" --version | grep -q '^lumen Ver\.' || fail "the installed lumen-dsf gives no version"
  # man renders every page; groff with all its warnings finds nothing to say.
  for page in "$root"/usr/share/man/man1/*.1.gz; do
    MANWIDTH=80 man --warnings -l "$page" > "$scratch/page.txt" 2> "$scratch/page.err" &&
      zcat "$page" | groff -ww -z -man 2>> "$scratch/page.err" &&
      [[ ! -s $scratch/page.err ]] && grep -q '^SYNOPSIS' "$scratch/page.txt" ||
      { cat "$scratch/page.err" >&2; fail "$(basename "$page") does not render cleanly"; }
  done
  [[ $(ls "$root"/usr/share/man/man1/*.1.gz | wc -l) -eq 5 ]] || fail "the packages install $(ls "$root"/usr/share/man/man1 | wc -l) manual pages, not 5"
  translated=$(LC_ALL=C.UTF-8 LANGUAGE=de TEXTDOMAINDIR="$root/usr/share/locale" gettext -d Korvo "Device Scan")
  [[ $translated == "Geräte suchen" ]] || fail "Korvo's German catalogue gives \"$translated\""
  echo "$arch packages: installed, run, manual pages and catalogue checked"
}

# check_board <arch>: the cross-built packages hold ARM programs built for NEON.
check_board() {
  local arch=$1 root=$scratch/$1 program
  check_contents "$arch"
  mkdir -p "$root"
  for deb in "$out"/{brisa,lumen,korvo,korvod}_${version}_"$arch".deb; do dpkg-deb -x "$deb" "$root"; done
  for program in brisa lumen lumen-dsf Korvo korvod; do
    readelf -h "$root/usr/bin/$program" | grep -q 'Machine: *ARM$' || fail "$program ($arch) is not an ARM program"
    readelf -A "$root/usr/bin/$program" | grep -q 'Tag_ABI_VFP_args: VFP registers' ||
      fail "$program ($arch) is not built for the hard-float ABI"
  done
  readelf -A "$root/usr/bin/brisa" | grep -q 'Tag_Advanced_SIMD_arch: NEON' || fail "brisa ($arch) is built without NEON"
  echo "$arch packages: contents and ARM programs checked"
}

check_installed
for arch in "$@"; do
  check_board "$arch"
done
