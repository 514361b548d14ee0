#!/usr/bin/env bash
# What the library adds beyond the system calls, in numbers that do not
# depend on the machine's load: user-space instructions per frame (callgrind)
# and heap allocations per frame (memcheck) of the library's receive and send
# paths and of the raw loops beside them.
#
#   bench/profile.sh [PAYLOAD_BYTES]     default 16; needs valgrind and a built build/bench
#
# Each case runs one batch of N frames and one of 2N; the difference divided
# by N leaves out start-up, connection and teardown. Instructions count every
# thread but the benchmark's server (thread 2: each case starts it first).
# Per-function detail: callgrind_annotate build/bench/profile/<case>.<frames>-<thread>
set -euo pipefail
cd "$(dirname "$0")/.."
size=${1:-16} n=10000 bin=build/bench/bench/kesu-bench out=build/bench/profile
[ -x "$bin" ] || { echo "profile.sh: build first: cmake --preset bench && cmake --build --preset bench" >&2; exit 1; }
mkdir -p "$out"

run() {  # $1 case, $2 frames, then valgrind's options
  KESU_BENCH_FRAMES=$2 valgrind "${@:3}" "$bin" --benchmark_filter="^$1/$size/" --benchmark_min_time=0.000001 \
    2>&1 >/dev/null
}
total() { sed -n 's/^summary: //p' "$@" | awk '{ sum += $1 } END { print sum }'; }
perFrame() { awk -v a="$1" -v b="$2" -v n="$3" 'BEGIN { printf "%.2f", (b - a) / n }'; }

printf '%-16s %12s %13s\n' "case ($size B)" "instr/frame" "allocs/frame"
for case in Receive/kesu Receive/raw Send/kesu Send/raw Send/raw_queue; do
  tag=${case/\//-}
  instructions=() allocations=()
  for frames in $n $((2 * n)); do
    rm -f "$out/$tag.$frames"-*
    run "$case" "$frames" --tool=callgrind --separate-threads=yes --callgrind-out-file="$out/$tag.$frames" >/dev/null
    instructions+=($(($(total "$out/$tag.$frames"-*) - $(total "$out/$tag.$frames-02"))))
    allocations+=("$(run "$case" $((frames / 5)) --tool=memcheck |
      sed -nE 's/.*total heap usage: ([0-9,]+) allocs.*/\1/p' | tr -d ,)")
  done
  printf '%-16s %12s %13s\n' "$case" "$(perFrame "${instructions[@]}" $n)" "$(perFrame "${allocations[@]}" $((n / 5)))"
done
