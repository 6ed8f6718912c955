#!/bin/sh
# Plots the oversampling filter's response at every input rate into
# docs/rate-response.png: the level of a -6 dBFS sine from 0 to 24 kHz, the
# passband edge against 1 kHz, and the noise and spurs the resampling adds
# in the audio band, each measured by fir_response at 352.8 kHz.
#   tools/plot-rate-response.sh [BUILD_DIR [OUT.png]]   (default: build)
# Needs fir_response built in BUILD_DIR; installs gnuplot-nox when missing
# (as root). Takes about a minute.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$here/build"}
out=${2:-"$here/docs/rate-response.png"}
tool="$build/tools/fir_response"
rates="22050 32000 44100 48000 88200 96000 176400 192000"

. "$here/tools/plot-setup.sh"
plot_setup plot-rate-response "$tool" fir_response

data=$(mktemp)
trap 'rm -f "$data"' EXIT
"$tool" --rates="$(echo "$rates" | tr ' ' ,)" "$data"
khz=$(for r in $rates; do awk -v r="$r" 'BEGIN { printf "%g ", r / 1000 }'; done)
mkdir -p "$(dirname "$out")"

gnuplot <<GNUPLOT
khz = "$khz"
count = words(khz)
label(i) = word(khz, i) . " kHz"
set terminal pngcairo size 1200,1500 font "sans,11"
set output "$out"
set multiplot layout 3,1 title "Oversampling filter to 352.8 kHz, normal filter: a -6 dBFS sine at each input rate (left channel)"
set grid xtics ytics mxtics
set key outside right top box
set xlabel "input sine frequency (Hz)"
set format x "%.0s%c"

set title "Level of the sine at the output"
set ylabel "dB against the input"
set xrange [0:24000]
set yrange [-12:2]
set mxtics 5
plot for [i=1:count] "$data" index (i - 1) using 1:2 with lines linewidth 2 title label(i)

set title "Passband edge, against the same rate's 1 kHz level (dashed: +-0.2 dB)"
set ylabel "dB against 1 kHz"
set xrange [14000:22000]
set yrange [-3:1]
set ytics 0.5
set arrow 1 from graph 0, first 0.2 to graph 1, first 0.2 nohead dashtype 2 linecolor rgb "black"
set arrow 2 from graph 0, first -0.2 to graph 1, first -0.2 nohead dashtype 2 linecolor rgb "black"
plot for [i=1:count] "$data" index (i - 1) using 1:3 with lines linewidth 2 title label(i)
unset arrow 1
unset arrow 2

set title "Noise and spurs from 20 Hz to 20 kHz (images, aliases, resampling error) with the sine playing"
set ylabel "dB against the input sine"
set xrange [0:24000]
set yrange [-180:0]
set ytics 20
plot for [i=1:count] "$data" index (i - 1) using 1:4 with lines linewidth 2 title label(i)
unset multiplot
GNUPLOT
echo "wrote $out"
