#!/usr/bin/env bash
# The uri-launcher tool, run again and again against kesu-dev-server playing a bad server, on a socket path of
# its own (KESU_MESSENGER_SOCKET); what each run must show: docs/RELIABILITY.md. Exits 1 naming each failed run.
#   launch-torture.sh TOOL SERVER [RUNS [SEED]]    (stop bound: KESU_STOP_BOUND_MS, 1500)
set -u
tool=$1 server=$2 runs=${3:-500} seed=${4:-$((RANDOM * 32768 + RANDOM))}
work=$(mktemp -d) && export KESU_MESSENGER_SOCKET=$work/messenger
bound_ms=$((3000 + ${KESU_STOP_BOUND_MS:-1500})) socket=$KESU_MESSENGER_SOCKET log=$work/server.log
# Every fault but at-bound (see docs/RELIABILITY.md).
faults=accept-then-close,close-in-header,close-in-payload,wrong-marker,above-bound,bad-payload,large-frame,burst
"$server" --faults $faults,one-byte-pieces,stall,never-read,reset,recreate-socket,close-between-frames,hold-open --seed "$seed" \
    --socket $socket </dev/null >>$log 2>&1 &
server_pid=$!  # appends to the log, which is emptied per run
trap 'kill $server_pid 2>/dev/null' EXIT
for ((i = 0; i < 100; i++)); do grep -q '^listening on' $log && break; sleep 0.05; done
grep -q '^listening on' $log || { cat $log; exit 1; }
echo "launch torture: $runs runs, seed $seed"
RANDOM=$seed  # the URIs and the late appearances follow from the seed too
failures=0 sent=0 late=0 slowest=0 timed_out=()
late_frames() {  # runs that reported a timeout, yet whose URI frame arrived whole
    grep -o "text=\"torture://$seed/[0-9]*/" $log | cut -d/ -f4 | sort -u | while read -r k; do
        [ -z "${timed_out[k]:-}" ] || echo " run $k reported a timeout, yet its URI frame arrived whole;"
    done
}
for ((run = 1; run <= runs; run++)); do
    : >$log
    # Mostly short URIs; one in ten of 60 to 120 KiB, written and read in many pieces.
    uri=torture://$seed/$run/$(printf "%$((RANDOM % 10 ? RANDOM % 200 : 60000 + RANDOM % 60000))s" | tr ' ' x)
    mover=
    if ((RANDOM % 8 == 0)) && mv $socket "$work/away" 2>/dev/null; then
        (sleep "$((500 + RANDOM % 3000))e-3" && mv -n "$work/away" $socket) &
        mover=$! late=$((late + 1))
    fi
    began=$(date +%s%N)
    output=$(KESU_LOG_LEVEL=3 timeout 60 "$tool" "$uri" 2>"$work/tool.err")  # 124: hung
    status=$? ms=$((($(date +%s%N) - began) / 1000000))
    [ -z "$mover" ] || wait $mover
    connects=$(grep -c 'Connected to IPC server' "$work/tool.err")
    for ((i = 0; i < 500; i++)); do
        opened=$(grep -c ' client [0-9]* connected$' $log) closed=$(grep -c ' client [0-9]* disconnected' $log)
        ((opened >= connects && opened == closed)) && break
        sleep 0.02
    done
    copies=$(grep -cF "server type=54 class=IPCMessageSimpleString length=$((${#uri} + 5)) text=\"${uri:0:200}" $log)
    arrived=$((copies > 0)) verdict=
    ((copies <= 1)) || verdict=" the URI frame arrived whole $copies times;"
    case "$status $output" in
    "0 Message sent") sent=$((sent + 1)) && ((arrived)) || verdict+=" \"Message sent\", yet the URI frame never arrived whole;" ;;
    "0 Timeout sending message") timed_out[run]=1 && ((!arrived)) || verdict+=" a timeout, yet the URI frame arrived whole;" ;;
    *) verdict+=" exit status $status, output '$output';" ;;
    esac
    ((ms <= bound_ms)) || verdict+=" took $ms ms;"
    ((i < 500)) || verdict+=" the server never reported the end of the tool's connections;"
    ! grep -q ' out of sync: ' $log || verdict+=" the tool's stream lost its frame markers;"
    verdict+=$(late_frames)
    grep -o ' fault [a-z-]*' $log >>"$work/faults"
    slowest=$((ms > slowest ? ms : slowest))
    [ -z "$verdict" ] || { failures=$((failures + 1)) && echo "run $run FAILED:$verdict ($connects connections, ${#uri}-byte URI, $ms ms)"; }
done
kill $server_pid && wait $server_pid  # what is still queued reaches the log
verdict=$(late_frames) && [ -z "$verdict" ] || { failures=$((failures + 1)) && echo "FAILED:$verdict"; }
echo "launch torture: seed $seed, $runs runs ($late with the server late): $sent sent, $((runs - sent)) timeouts," \
    "slowest $slowest ms (bound $bound_ms ms); failures: $failures; faults injected:"
sort "$work/faults" | uniq -c | awk '{printf " %s %s", $3, $1} END {print ""}'
rm -rf "$work"
[ "$failures" -eq 0 ]
