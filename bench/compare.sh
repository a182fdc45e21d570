#!/usr/bin/env bash
# Times the velmoraine command-line program against ffmpeg's spp and dctdnoiz
# filters on the same noisy 1080p clip, in the same run, and prints frames/s,
# ratios and peak resident size (also for a 4K stream with one thread).
#
#   bench/compare.sh [BUILD_DIR]        (default: build; needs tools/velmoraine built)
#
# Environment: RUNS (velmoraine runs, default 5), FFMPEG_RUNS (spp, default 3),
# SLOW_RUNS (dctdnoiz, default 2), SKIP_DCTDNOIZ=1 to leave the slowest out.
# Timings are whole-process wall times (median), from a file to a file.
# "One core" means taskset -c 0 for every program, ffmpeg with one thread.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cli=$(cd "$build" && pwd)/tools/velmoraine
[ -x "$cli" ] || { echo "compare.sh: $cli not found; build first (cmake --build $build)" >&2; exit 1; }
for tool in ffmpeg hyperfine taskset /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "compare.sh: $tool is missing (apt-get install ffmpeg hyperfine time util-linux)" >&2; exit 1; }
done
runs=${RUNS:-5}
ffmpeg_runs=${FFMPEG_RUNS:-3}
slow_runs=${SLOW_RUNS:-2}
frames=20

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
clip=$work/noisy1080.y4m
echo "== making the clip: 1920x1080 4:2:0, $frames frames, noise alls=12"
ffmpeg -v error -f lavfi -i testsrc2=size=1920x1080:rate=25 -vf noise=alls=12:allf=t -pix_fmt yuv420p \
  -frames:v $frames -f yuv4mpegpipe "$work/noisy1080.y4m"

# median_seconds CSV: the median of the one command in a hyperfine CSV export;
# cpu_seconds CSV: its mean user + system time.
median_seconds() { awk -F, 'NR == 2 { print $4 }' "$1"; }
cpu_seconds() { awk -F, 'NR == 2 { print $5 + $6 }' "$1"; }

time_one() {  # time_one NAME RUNS COMMAND
  local name=$1 count=$2
  shift 2
  hyperfine --style basic --runs "$count" --warmup 1 --export-csv "$work/$name.csv" -n "$name" "$*" >&2
  median_seconds "$work/$name.csv"
}

cli_cmd="$cli --T 10"
echo "== timing (median wall time of whole processes)"
t_one=$(time_one velmoraine-1core "$runs" "taskset -c 0 $cli_cmd --threads 1 $clip $work/out.y4m")
t_two=$(time_one velmoraine-2threads "$runs" "$cli_cmd --threads 2 $clip $work/out.y4m")
ffmpeg_one="taskset -c 0 ffmpeg -v error -y -threads 1 -filter_threads 1 -i $clip"
t_spp=$(time_one ffmpeg-spp "$ffmpeg_runs" "$ffmpeg_one -vf spp=quality=6:qp=10 -f yuv4mpegpipe $work/spp.y4m")
t_dct=""
if [ -z "${SKIP_DCTDNOIZ:-}" ]; then
  t_dct=$(time_one ffmpeg-dctdnoiz "$slow_runs" \
    "$ffmpeg_one -vf format=gbrp,dctdnoiz=n=3:overlap=7,format=yuv420p -f yuv4mpegpipe $work/dct.y4m")
fi

peak_rss_mb() {  # peak_rss_mb COMMAND...: peak resident size of the process in MB
  /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F: '/Maximum resident set size/ { printf "%.1f", $2 / 1024 }'
}
echo "== peak resident size"
rss_one=$(peak_rss_mb taskset -c 0 $cli_cmd --threads 1 "$clip" "$work/out.y4m")
rss_two=$(peak_rss_mb $cli_cmd --threads 2 "$clip" "$work/out.y4m")
ffmpeg -v error -f lavfi -i testsrc2=size=3840x2160:rate=25 -vf noise=alls=12:allf=t -pix_fmt yuv420p \
  -frames:v 5 -f yuv4mpegpipe "$work/noisy2160.y4m"
rm -f "$work/spp.y4m" "$work/dct.y4m"
start=$(date +%s.%N)
rss_4k=$(peak_rss_mb $cli_cmd --threads 1 "$work/noisy2160.y4m" "$work/out4k.y4m")
t_4k=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { print b - a }')

fps() { awk -v n="$frames" -v t="$1" 'BEGIN { printf "%.2f", n / t }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b / a }'; }
cpu_fps() { fps "$(cpu_seconds "$work/$1.csv")"; }
# On a machine shared with other work, wall time also counts the time others
# held the core; frames per CPU second (user + system) does not.
echo
echo "                                                        wall (median)      per CPU second"
echo "velmoraine --T 10, 1 core (taskset -c 0, --threads 1): $(fps "$t_one") frames/s    $(cpu_fps velmoraine-1core) frames/s   peak RSS ${rss_one} MB"
echo "velmoraine --T 10, --threads 2:                         $(fps "$t_two") frames/s    (CPU $(cpu_seconds "$work/velmoraine-2threads.csv") s)   peak RSS ${rss_two} MB"
echo "ffmpeg spp=quality=6:qp=10, 1 core:                     $(fps "$t_spp") frames/s    $(cpu_fps ffmpeg-spp) frames/s   velmoraine 1 core faster by $(ratio "$t_one" "$t_spp") x (wall)"
if [ -n "$t_dct" ]; then
  echo "ffmpeg dctdnoiz=n=3:overlap=7 (RGB), 1 core:            $(fps "$t_dct") frames/s    $(cpu_fps ffmpeg-dctdnoiz) frames/s   velmoraine 1 core faster by $(ratio "$t_one" "$t_dct") x (wall)"
fi
echo "velmoraine 3840x2160, --threads 1, 5 frames:            $(awk -v t="$t_4k" 'BEGIN { printf "%.2f", 5 / t }') frames/s   peak RSS ${rss_4k} MB"
echo "machine load average while measuring: $(cut -d' ' -f1-3 /proc/loadavg)"
