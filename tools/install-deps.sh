#!/usr/bin/env bash
# Installs the build and test dependencies with apt-get when any is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang clang-format libclang-rt-14-dev
  libgtest-dev libbenchmark-dev
  libasound2-dev alsa-utils
  libavformat-dev libavcodec-dev libavutil-dev libswresample-dev ffmpeg
  # Korvo, and its test under a virtual X server
  libgtk-3-dev gettext xvfb xauth xdotool imagemagick
  # the armhf cross build, its libraries, and qemu to run its tests
  g++-arm-linux-gnueabihf qemu-user
  libasound2-dev:armhf libavformat-dev:armhf libavcodec-dev:armhf libavutil-dev:armhf
  libswresample-dev:armhf libgtest-dev:armhf
  # MPD clients for korvod's tests
  mpc python3-mpd
  # the Debian packages of both architectures, and their checks
  dpkg-dev debhelper fakeroot lintian file man-db groff-base libgtk-3-dev:armhf
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "run as root to install: ${missing[*]}" >&2; exit 1; }
  sudo=sudo
fi
dpkg --print-foreign-architectures | grep -qx armhf || $sudo dpkg --add-architecture armhf
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
