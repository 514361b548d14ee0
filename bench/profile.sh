#!/usr/bin/env bash
# What the library adds beyond the system calls, in numbers that do not
# depend on the machine's load: user-space instructions per frame (callgrind)
# and heap allocations per frame (memcheck), for the library's receive and
# send paths and the raw loops beside them.
#
#   bench/profile.sh [PAYLOAD_BYTES]     default 16; needs valgrind and a built build/bench
#
# Each case runs twice, with N and 2N frames; the difference divided by N
# leaves out start-up, connection and teardown. Per-function detail of the
# library's threads goes to build/bench/profile/<case>.functions.
set -euo pipefail
cd "$(dirname "$0")/.."

size=${1:-16}
bin=build/bench/bench/kesu-compare
out=build/bench/profile
frames=10000
allocFrames=2000
mkdir -p "$out"
valgrind --version >/dev/null 2>&1 || { echo "profile.sh: valgrind not installed" >&2; exit 1; }
[ -x "$bin" ] || { echo "profile.sh: build first: cmake --preset bench && cmake --build --preset bench" >&2; exit 1; }

# Threads in the order each case creates them (callgrind numbers them so).
threadNames() {
  case $1 in
    "receive kesu") echo "main server client-thread sender-thread" ;;
    "receive raw") echo "receive-loop server" ;;
    "send kesu") echo "producer server client-thread sender-thread" ;;
    "send raw") echo "write-loop server" ;;
    "send raw+queue") echo "producer server writer-thread" ;;
  esac
}

total() { sed -n 's/^summary: //p' "$1"; }

# Self cost per frame of each function of one thread, largest first.
functions() {  # $1 short run dump, $2 long run dump
  local a b
  a=$(mktemp) b=$(mktemp)
  local dump sorted
  for pair in "$1 $a" "$2 $b"; do
    read -r dump sorted <<<"$pair"
    callgrind_annotate --threshold=99.9 "$dump" 2>/dev/null |
      sed -nE 's/^ *([0-9,]+) \( *[0-9.]+%\)  (.*)$/\2\t\1/p' | sed -E 's/ \[[^]]*\]\t/\t/' |
      awk -F'\t' '{gsub(",", "", $2); print $1 "\t" $2}' | sort -t$'\t' -k1,1 >"$sorted"
  done
  join -t$'\t' "$a" "$b" | awk -F'\t' -v n="$frames" '{d = ($3 - $2) / n; if (d >= 1) printf "%8.1f  %s\n", d, $1}' |
    sort -rn
  rm -f "$a" "$b"
}

printf '%-16s %10s  %-52s %8s %10s\n' "case ($size B)" "instr/frame" "by thread" "allocs" "alloc B"
for case in "receive kesu" "receive raw" "send kesu" "send raw" "send raw+queue"; do
  read -r part impl <<<"$case"
  tag=$part-${impl/+/-}-$size
  rm -f "$out/$tag".*
  for n in $frames $((2 * frames)); do
    valgrind --tool=callgrind --separate-threads=yes --callgrind-out-file="$out/$tag.$n" \
      "$bin" --profile "$part" "$impl" "$size" "$n" >/dev/null 2>&1
  done
  read -r -a names <<<"$(threadNames "$case")"
  clientSide=0
  detail=""
  : >"$out/$tag.functions"
  for i in "${!names[@]}"; do
    suffix=$(printf -- '-%02d' $((i + 1)))
    short=$out/$tag.$frames$suffix long=$out/$tag.$((2 * frames))$suffix
    if [ ! -f "$short" ] || [ ! -f "$long" ]; then continue; fi
    perFrame=$(( ($(total "$long") - $(total "$short")) / frames ))
    [ "${names[$i]}" = server ] && continue  # the benchmark's peer, the same for every case
    clientSide=$((clientSide + perFrame))
    detail+="${names[$i]} $perFrame, "
    { echo "== ${names[$i]}"; functions "$short" "$long"; } >>"$out/$tag.functions"
  done
  heap() {  # allocations and bytes of a run of $1 frames
    valgrind --tool=memcheck "$bin" --profile "$part" "$impl" "$size" "$1" 2>&1 >/dev/null |
      sed -nE 's/.*total heap usage: ([0-9,]+) allocs, [0-9,]+ frees, ([0-9,]+) bytes allocated.*/\1 \2/p' | tr -d ,
  }
  read -r allocsA bytesA <<<"$(heap $allocFrames)"
  read -r allocsB bytesB <<<"$(heap $((2 * allocFrames)))"
  allocs=$(awk -v a="$allocsA" -v b="$allocsB" -v n="$allocFrames" 'BEGIN { printf "%.2f", (b - a) / n }')
  bytes=$(awk -v a="$bytesA" -v b="$bytesB" -v n="$allocFrames" 'BEGIN { printf "%.0f", (b - a) / n }')
  printf '%-16s %10d  %-52s %8s %10s\n' "$case" "$clientSide" "${detail%, }" "$allocs" "$bytes"
done
echo "per-function detail: $out/*-$size.functions"
