#!/usr/bin/env bash
# Runs every player of one or more builds against a battery of damaged files
# and counts how each ended:
#   tools/hostile-battery.sh BUILD_DIR [BUILD_DIR...]
# A build dir holds brisa/brisa, lumen/lumen and lumen/lumen-dsf. The battery
# is written once: the hostile native files (wav, dff, wsd, dsf) of
# tests/make_hostile_files (taken from the first build dir that has it, or
# from $HOSTILE_GENERATOR), and 3 s tones made by FFmpeg (FLAC, MP3, Ogg
# Vorbis, Opus, M4A/AAC, WavPack, AIFF, WAV), each intact, cut at 10, 50 and
# 90 %, with a few bits flipped at 45 % and with its middle fifth replaced by
# garbage. Each player gets each file into a null device:
#   <player> -D nulldev --silent FILE < /dev/null, cut off after 20 s,
# two runs at a time. One markdown table per build, a row per player:
#   runs     how many runs
#   crashes  runs that ended through a signal (not the cut-off's)
#   hangs    runs still going after 20 s
#   silent   runs of a damaged file (anything but an intact one) that exited
#            0 with nothing on standard error (lumen's "Open ... stream"
#            notice, printed for every file, does not count): damage that
#            passed unsaid
#   unnamed  runs that exited non-zero without the file's name (its base
#            name) on standard error: a refusal that does not say of what
# HOSTILE_BATTERY_LOG=FILE keeps one tab-separated line per run (build,
# player, file, outcome, exit status or signal, first line of standard error).
set -euo pipefail
if [ $# -lt 1 ]; then
  echo "usage: $0 BUILD_DIR [BUILD_DIR...]" >&2
  exit 2
fi
players=(brisa/brisa lumen/lumen lumen/lumen-dsf)
builds=()
for dir in "$@"; do
  build=$(cd "$dir" && pwd)
  for player in "${players[@]}"; do
    [ -x "$build/$player" ] || { echo "$build/$player is missing" >&2; exit 1; }
  done
  builds+=("$build")
  [ -n "${HOSTILE_GENERATOR:-}" ] || [ ! -x "$build/tests/make_hostile_files" ] ||
    HOSTILE_GENERATOR=$build/tests/make_hostile_files
done
if [ -z "${HOSTILE_GENERATOR:-}" ]; then
  echo "no build dir has tests/make_hostile_files (cmake --build BUILD --target make_hostile_files)," \
    "or set HOSTILE_GENERATOR" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/files" "$work/sources"
printf 'pcm.nulldev { type null }\n' > "$work/.asoundrc"
"$HOSTILE_GENERATOR" "$work/files" > /dev/null

# tone <name> <rate> <channels> <ffmpeg output options...>: 3 s of two tones.
tone() {
  local name=$1 rate=$2 channels=$3
  shift 3
  local expr="0.5*sin(2*PI*1000*t)"
  [ "$channels" = 1 ] || expr="$expr|0.5*sin(2*PI*1500*t)"
  ffmpeg -nostdin -loglevel error -y -f lavfi -i "aevalsrc=$expr:s=$rate:d=3" "$@" "$work/sources/$name"
}
tone ff44-stereo.flac 44100 2 -c:a flac
tone ff44-stereo.mp3 44100 2 -c:a libmp3lame -b:a 192k
tone ff44-stereo.ogg 44100 2 -c:a libvorbis
tone ff44-stereo.opus 44100 2 -c:a libopus
tone ff44-stereo.m4a 44100 2 -c:a aac
tone ff44-stereo.wv 44100 2 -c:a wavpack
tone ff44-stereo.aif 44100 2 -c:a pcm_s16be
tone ff44-stereo.wav 44100 2 -c:a pcm_s16le
tone ff48-mono.flac 48000 1 -c:a flac
tone ff48-mono.mp3 48000 1 -c:a libmp3lame
tone ff48-mono.ogg 48000 1 -c:a libvorbis
tone ff48-mono.opus 48000 1 -c:a libopus
tone ff48-mono.m4a 48000 1 -c:a aac
tone ff96-stereo24.flac 96000 2 -c:a flac -sample_fmt s32
tone ff96-stereo24.wav 96000 2 -c:a pcm_s24le

# The damaged variants of each tone, the same bytes on every run.
python3 - "$work/sources" "$work/files" <<'PY'
import os, random, sys
sources, files = sys.argv[1:3]
for name in sorted(os.listdir(sources)):
    stem, ext = os.path.splitext(name)
    whole = open(os.path.join(sources, name), "rb").read()
    size = len(whole)
    rng = random.Random(name)
    flipped = bytearray(whole)
    for step in (0, 3, 7, 12, 20):
        at = min(size - 1, size * 45 // 100 + step)
        flipped[at] ^= 1 << rng.randrange(8)
    garbage = bytearray(whole)
    start, end = size * 40 // 100, size * 60 // 100
    garbage[start:end] = rng.randbytes(end - start)
    variants = {"intact": whole, "flip45": bytes(flipped), "garbage": bytes(garbage)}
    for percent in (10, 50, 90):
        variants["cut%d" % percent] = whole[: size * percent // 100]
    for variant, data in variants.items():
        open(os.path.join(files, "%s-%s%s" % (stem, variant, ext)), "wb").write(data)
PY

# Every run, two at a time; then the tables.
python3 - "$work" "${HOSTILE_BATTERY_LOG:-}" "${builds[@]}" <<'PY'
import concurrent.futures, os, re, signal, subprocess, sys
work, log_path, builds = sys.argv[1], sys.argv[2], sys.argv[3:]
players = ["brisa/brisa", "lumen/lumen", "lumen/lumen-dsf"]
folder = os.path.join(work, "files")
files = sorted(os.listdir(folder))
env = {"HOME": work, "PATH": os.environ.get("PATH", "/usr/bin:/bin")}

def intact(name):
    stem = os.path.splitext(name)[0]
    return stem.endswith("-intact") or stem.endswith("-good")

def run(job):
    build, player, name = job
    command = [os.path.join(build, player), "-D", "nulldev", "--silent", os.path.join(folder, name)]
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, env=env, cwd=work)
    try:
        err = process.communicate(timeout=20)[1]
        hung = False
    except subprocess.TimeoutExpired:
        process.kill()
        err = process.communicate()[1]
        hung = True
    text = err.decode("utf-8", "replace")
    said = re.sub(r"(?m)^Open .* stream$", "", text).strip()
    status = process.returncode
    if hung:
        outcome = "hang"
    elif status < 0:
        outcome = "crash"
    elif status == 0:
        outcome = "silent" if not said and not intact(name) else "played"
    else:
        outcome = "refused" if name in text else "unnamed"
    shown = "SIG" + signal.Signals(-status).name[3:] if status < 0 and not hung else str(status)
    first = said.splitlines()[0] if said else ""
    return build, player, name, outcome, shown, first

jobs = [(b, p, f) for b in builds for p in players for f in files]
with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
    results = list(pool.map(run, jobs))

if log_path:
    with open(log_path, "w") as log:
        for row in results:
            log.write("\t".join(row) + "\n")

columns = ["crash", "hang", "silent", "unnamed"]
damaged = sum(not intact(f) for f in files)
print("%d files (%d damaged), each through %s\n" % (len(files), damaged, ", ".join(p.split("/")[1] for p in players)))
for build in builds:
    print("### %s\n" % build)
    print("| player | runs | crashes | hangs | silent exit 0 | unnamed refusals |")
    print("|---|---:|---:|---:|---:|---:|")
    for player in players + [None]:
        rows = [r for r in results if r[0] == build and (player is None or r[1] == player)]
        counts = [len(rows)] + [sum(r[3] == c for r in rows) for c in columns]
        label = "**all**" if player is None else player.split("/")[1]
        print("| %s | %s |" % (label, " | ".join(str(c) for c in counts)))
    print()
PY
