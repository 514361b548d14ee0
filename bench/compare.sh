#!/usr/bin/env bash
# The library side by side with the socket limit, ZeroMQ and D-Bus, and the
# tool as a whole process: builds the bench preset, runs kesu-bench (Google
# Benchmark) and the whole-process part, prints one table, draws the plot.
#
#   bench/compare.sh [--quick] [--repetitions N] [--no-build] [--benchmark_...]
#     by default, N=5 repetitions of each case in random interleaved order, the
#     median of each (about 5 minutes on 2 cores); --quick: each case once and
#     briefly, to prove it all still runs (its figures mean nothing); other
#     --benchmark_... flags go to kesu-bench, e.g. --benchmark_filter=Latency
#
# Output in build/bench/compare/: bench.json, process.json (hyperfine), rss.txt,
# table.md, throughput.dat and throughput.png. The whole-process part needs
# hyperfine, GNU time and root: the tool always uses /tmp/kesu_messenger, so
# it runs in a private mount namespace with its own /tmp. The table needs
# python3, the plot gnuplot. What is missing is reported as skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD bin=$PWD/build/bench out=$PWD/build/bench/compare uri=https://example.com/

if [ "${1:-}" = __process ]; then  # inside the private mount namespace
  mount -t tmpfs tmpfs /tmp
  # A checkout under /tmp is hidden now; the working directory still leads to
  # it (mount must not resolve "." by name), so put it back at its own path.
  case $root/ in /tmp/*) mkdir -p "$root" && mount --no-canonicalize --bind . "$root" ;; esac
  "$bin/tools/kesu-dev-server" >/dev/null 2>"$out/dev-server.log" &
  trap "kill $!; wait $! || true" EXIT
  for _ in $(seq 100); do [ -S /tmp/kesu_messenger ] && break; sleep 0.05; done
  said=$("$bin/app/uri-launcher" "$uri")
  [ "$said" = "Message sent" ] || { echo "compare.sh: uri-launcher said: $said" >&2; exit 1; }
  hyperfine -N --style basic --warmup "$3" --runs "$2" --export-json "$out/process.json" \
    -n uri-launcher "'$bin/app/uri-launcher' '$uri'" -n connect-write "'$bin/bench/kesu-connect-write' '$uri'" >&2
  rss() {  # peak RSS in KiB, median of five runs
    for _ in 1 2 3 4 5; do /usr/bin/time -f %M -o /tmp/rss "$@" >/dev/null; cat /tmp/rss; done | sort -n | sed -n 3p
  }
  printf 'uri-launcher %s\nconnect-write %s\n' "$(rss "$bin/app/uri-launcher" "$uri")" \
    "$(rss "$bin/bench/kesu-connect-write" "$uri")" >"$out/rss.txt"
  exit 0
fi

quick=0 repetitions=5 build=1 extra=()
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=1 ;;
    --repetitions) repetitions=$2; shift ;;
    --no-build) build=0 ;;
    --benchmark_*) extra+=("$1") ;;
    -h|--help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "compare.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done
if [ "$build" = 1 ]; then
  cmake --preset bench >/dev/null
  cmake --build --preset bench -j2
fi
mkdir -p "$out"
rm -f "$out"/*.json "$out"/*.txt "$out"/throughput.*

echo "== $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg), source $(git rev-parse --short HEAD)" >&2
flags=(--benchmark_repetitions="$repetitions" --benchmark_enable_random_interleaving=true
       --benchmark_display_aggregates_only=true)
[ "$quick" = 1 ] && flags=(--benchmark_min_time=0.001)
"$bin/bench/kesu-bench" "${flags[@]}" "${extra[@]}" --benchmark_out="$out/bench.json" --benchmark_out_format=json >&2

runs=30 warmup=5
[ "$quick" = 1 ] && runs=3 warmup=1
why=""
command -v hyperfine >/dev/null || why="hyperfine not installed"
[ -n "$why" ] || [ -x /usr/bin/time ] || why="GNU time not installed"
[ -n "$why" ] || unshare --mount true 2>/dev/null || why="no private mount namespace (needs root)"
if [ -z "$why" ]; then
  unshare --mount --propagation private bash "$0" __process "$runs" "$warmup"
else
  echo "$why" >"$out/process-skipped.txt"
fi
echo "== load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)" >&2

python3 bench/report.py "$out" | tee "$out/table.md"
if command -v gnuplot >/dev/null; then
  subtitle="median of $repetitions repetitions, $(nproc) cores"
  [ "$quick" = 1 ] && subtitle="quick run: the figures mean nothing"
  gnuplot -e "datafile='$out/throughput.dat'; outfile='$out/throughput.png'; subtitle='$subtitle'" bench/plot.gp 2>&1 |
    grep -v 'no valid points' >&2 || true  # a skipped peer has no line
  echo "plot: $out/throughput.png"
else
  echo "plot: skipped: gnuplot not installed"
fi
