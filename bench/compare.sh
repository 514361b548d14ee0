#!/usr/bin/env bash
# The library side by side with the socket limit, ZeroMQ and D-Bus, and the
# tool as a whole process: builds the bench preset, runs every part, prints
# one table and renders the throughput plot.
#
#   bench/compare.sh             every part, 3 runs, median of each figure (a few minutes)
#   bench/compare.sh --quick     every part very briefly, 1 run: proves it all still runs
#   bench/compare.sh --repeat N  N runs instead of 3
#   bench/compare.sh --no-build  use what build/bench holds
#
# Output in build/bench/compare/: run<N>.tsv (records of each run),
# process-<N>.json/.csv (hyperfine), table.md, throughput.dat, throughput.png.
# ZeroMQ and D-Bus rows need libzmq3-dev, libdbus-1-dev and dbus-daemon when
# the preset is configured; the whole-process rows need hyperfine, GNU time
# and root (a private mount namespace, since the tool always uses
# /tmp/kesu_messenger). What is missing is reported as skipped.
set -euo pipefail
cd "$(dirname "$0")/.."

root=$PWD
bin=$root/build/bench
out=$bin/compare
uri="https://example.com/"

# Inside the private mount namespace: a tmpfs on /tmp, so that the tool's
# fixed socket path is ours alone; a ready development server on it; then
# hyperfine over the tool and the connect-and-write floor, and their peak RSS.
if [ "${1:-}" = "__process" ]; then
  records=$2 runs=$3 warmup=$4 tag=$5
  mount -t tmpfs tmpfs /tmp
  # A checkout under /tmp is hidden now; the working directory still leads to
  # it (mount must not resolve "." by name), so put it back at its own path.
  case $root/ in /tmp/*) mkdir -p "$root" && mount --no-canonicalize --bind . "$root" ;; esac
  "$bin/tools/kesu-dev-server" >/dev/null 2>"$out/dev-server-$tag.log" &
  server=$!
  trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null || true' EXIT
  for _ in $(seq 100); do [ -S /tmp/kesu_messenger ] && break; sleep 0.05; done
  [ -S /tmp/kesu_messenger ] || { echo "compare.sh: the development server did not start" >&2; exit 1; }
  said=$("$bin/app/uri-launcher" "$uri")
  [ "$said" = "Message sent" ] || { echo "compare.sh: uri-launcher said: $said" >&2; exit 1; }

  hyperfine -N --style basic --warmup "$warmup" --runs "$runs" \
    --export-json "$out/process-$tag.json" --export-csv "$out/process-$tag.csv" \
    -n uri-launcher "'$bin/app/uri-launcher' '$uri'" \
    -n connect-write "'$bin/bench/kesu-connect-write' '$uri'" >&2
  # command,mean,stddev,median,user,system,min,max (seconds)
  tail -n +2 "$out/process-$tag.csv" | while IFS=, read -r name _mean stddev median _user _system min max _rest; do
    awk -v n="$name" -v md="$median" -v mn="$min" -v mx="$max" -v sd="$stddev" 'BEGIN {
      printf "process\t0\t%s\tmedian_ms\t%.4f\n", n, md * 1000
      printf "process\t0\t%s\tmin_ms\t%.4f\n", n, mn * 1000
      printf "process\t0\t%s\tmax_ms\t%.4f\n", n, mx * 1000
      printf "process\t0\t%s\tstddev_ms\t%.4f\n", n, sd * 1000 }' >>"$records"
  done
  rss() {  # median peak RSS in KiB of five runs of "$@"
    for _ in 1 2 3 4 5; do
      /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F': ' '/Maximum resident set size/ {print $2}'
    done | sort -n | sed -n 3p
  }
  printf 'process\t0\turi-launcher\trss_kb\t%s\n' "$(rss "$bin/app/uri-launcher" "$uri")" >>"$records"
  printf 'process\t0\tconnect-write\trss_kb\t%s\n' "$(rss "$bin/bench/kesu-connect-write" "$uri")" >>"$records"
  exit 0
fi

quick=0
repeat=3
build=1
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=1; repeat=1 ;;
    --repeat) repeat=$2; shift ;;
    --no-build) build=0 ;;
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
rm -f "$out"/run*.tsv "$out"/process-*.json "$out"/process-*.csv "$out"/dev-server-*.log

processPart() {  # $1 records file, $2 tag
  local records=$1 tag=$2 runs=30 warmup=5
  [ "$quick" = 1 ] && runs=3 warmup=1
  local missing=""
  hyperfine --version >/dev/null 2>&1 || missing="hyperfine not installed"
  [ -z "$missing" ] && [ ! -x /usr/bin/time ] && missing="GNU time not installed"
  [ -z "$missing" ] && ! unshare --mount true 2>/dev/null && missing="no private mount namespace (needs root)"
  if [ -n "$missing" ]; then
    printf 'process\t0\turi-launcher\tskipped\t%s\n' "$missing" >>"$records"
    return
  fi
  unshare --mount --propagation private bash "$0" __process "$records" "$runs" "$warmup" "$tag"
}

echo "== $(nproc) cores; load average at start: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
echo "== source: $(git rev-parse --short HEAD 2>/dev/null || echo unknown)," \
     "uncommitted changes to src/ inc/ platform/ app/: $(git diff HEAD -- src inc platform app 2>/dev/null | sha1sum | cut -c1-12)" >&2
for run in $(seq "$repeat"); do
  echo "== run $run of $repeat, load average $(cut -d' ' -f1-3 /proc/loadavg)" >&2
  records=$out/run$run.tsv
  args=(--out "$records")
  [ "$quick" = 1 ] && args+=(--quick)
  "$bin/bench/kesu-compare" "${args[@]}"
  processPart "$records" "$run"
done
echo "== load average at end: $(cut -d' ' -f1-3 /proc/loadavg)" >&2

"$bin/bench/kesu-compare" --report --plot-data "$out/throughput.dat" "$out"/run*.tsv | tee "$out/table.md"
if gnuplot --version >/dev/null 2>&1; then
  gnuplot -e "datafile='$out/throughput.dat'; outfile='$out/throughput.png'; subtitle='median of $repeat run(s), $(nproc) cores'" \
    bench/plot.gp 2>&1 | grep -v 'no valid points' >&2 || true  # a skipped peer has no line
  echo "plot: $out/throughput.png"
else
  echo "plot: skipped: gnuplot not installed"
fi
