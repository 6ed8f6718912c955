#!/bin/sh
# Plots the noise spectra of modulator levels 1, 2 and 7 (a -6 dBFS 1 kHz
# sine at 352.8 kHz, 32 bits per sample) into docs/noise-spectra.png.
#   tools/plot-noise-spectra.sh [BUILD_DIR]     (default: build)
# Needs dsd_analyse built in BUILD_DIR; installs gnuplot-nox when missing
# (as root).
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$here/build"}
tool="$build/tools/dsd_analyse"
out="$here/docs/noise-spectra.png"

. "$here/tools/plot-setup.sh"
plot_setup plot-noise-spectra "$tool" dsd_analyse

data=$(mktemp)
trap 'rm -f "$data"' EXIT
"$tool" --demo-spectra="$data"
mkdir -p "$here/docs"

gnuplot <<GNUPLOT
set terminal pngcairo size 1200,750 font "sans,11"
set output "$out"
set title "brisa modulator noise spectra: -6 dBFS 1 kHz sine, 11.2896 MHz one-bit output"
set xlabel "frequency (Hz)"
set ylabel "dBFS per FFT bin (5.4 Hz, 7-term Blackman-Harris window)"
set logscale x
set xrange [100:5e6]
set yrange [-220:-20]
set format x "%.0s%c"
set grid xtics ytics mxtics
set key left top box opaque
set arrow from 20000, graph 0 to 20000, graph 1 nohead dashtype 2 linewidth 1.5 linecolor rgb "black"
set label "20 kHz\naudio band edge" at 21000, -35 left
plot "$data" using 1:2 with lines linewidth 2 title "level 1 (first order)", \
     "$data" using 1:3 with lines linewidth 2 title "level 2 (second order)", \
     "$data" using 1:4 with lines linewidth 2 title "level 7 (seventh order)"
GNUPLOT
echo "wrote $out"
