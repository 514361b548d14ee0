#!/usr/bin/env bash
# kesu-dev-server and its tap as a developer uses them, driven by kesu-frame-send on private socket
# paths: what they print, how they start, refuse and stop.
# Usage: dev-server.sh DEV_SERVER FRAME_SEND [EMULATOR...]
source "$(dirname "$0")/common.sh"

# Every option --help lists is in the program's man page, --help lists the types by class, --version is project()'s.
root=$(dirname "$0")/../.. && version=$(grep -oE '^  VERSION [0-9.]+' "$root/CMakeLists.txt" | cut -d' ' -f4)
documented() {  # documented NAME COMMAND...
    [[ $("${@:2}" --version) == "$1 $version" ]] || fail "$1 --version: $("${@:2}" --version)"
    local page && page=$(sed 's/\\-/-/g' "$root/man/$1.1.in")
    for option in $("${@:2}" --help | grep -oE -- '(^|[ ,])--?[a-z][a-z-]*' | tr -d ' ,' | sort -u); do
        grep -qF -- "$option" <<<"$page" || fail "$1: $option is not in its man page"
    done
}
documented kesu-dev-server "${server[@]}" && documented kesu-frame-send "${send[@]}"
"${send[@]}" --help | grep -qx '  IPCMessageUnsignedInt64 (u64): 33 41' || fail "--help lists no types by class"

# Frames of every class are printed decoded; greetings and stdin lines reach the clients; a broken one is dropped alone.
mkfifo "$work/in" && exec 3<>"$work/in"
stdin=$work/in start a --socket "$sock" --send 60:u32s:1,2,3 --send 7:hex:00ff
"${send[@]}" --socket="$sock" --read 3 $'54:string:hi\tthere' >"$work/c1.out" & client_1=$!
wait_for "$work/a.out" 'client 1 → server type=54 class=IPCMessageSimpleString length=13 text="hi\tthere"'
"${send[@]}" --socket "$sock" 40:hex:00000002616200ff000000000000000100010000000100000002000000030000000178000000000000 \
    1:hex:0000003600000005 15:hex:07 19:strings:a,,b 41:u64:18446744073709551615 \
    raw:6d00003a000000040000002a6d raw:00003a raw:0000000400000007 raw:6d0000
for line in 'server → client 1 type=60 class=IPCMessageUnsignedIntArray length=16 values=[1, 2, 3]' \
    'client 2 → server type=40 class=IPCMessagePlayerMediaInfo length=41 text="ab" flag=true value=1 streams=[{1 2 3 "x" ""}]' \
    'client 2 → server type=1 class=IPCMessage length=8 payload=0000003600000005 allowed=[54, 5]' \
    'client 2 → server type=15 class=IPCMessageRecorderStats length=1 stats=7' \
    'client 2 → server type=19 class=IPCMessageStringArray length=21 strings=["a", "", "b"]' \
    'client 2 → server type=41 class=IPCMessageUnsignedInt64 length=8 value=18446744073709551615' \
    'client 2 → server type=58 class=IPCMessageUnsignedInt length=4 value=42' \
    'client 2 → server type=58 class=IPCMessageUnsignedInt length=4 value=7' \
    'client 2 disconnected, 3 bytes of an unfinished frame'; do
    wait_for "$work/a.out" "$line"
done
"${send[@]}" --socket "$sock" --expect-close raw:474152424147452121 >/dev/null || fail "a broken client was not closed"
wait_for "$work/a.out" 'client 3 → server out of sync: header starts with 0x47, not the frame marker'
printf 'bogus\n# comment\n5:string:to all\n' >&3
wait "$client_1" || fail "client 1 did not get its three frames"
has "$work/c1.out" 'frame type=5 class=IPCMessageSimpleString length=11 text="to all"' || fail "stdin frame lost"
has "$work/a.err" "bad frame 'bogus'" || fail "no complaint about a bad input line"
grep -qE '^[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{6} \+[0-9]+\.[0-9]{6} client 1 connected$' "$work/a.out" || fail "no time stamps"

# The path is refused while a server answers on it, or when it is no socket; a stale socket file is
# replaced; signals remove the socket file; bad arguments give 2.
refused --socket "$sock"
has "$work/refused.err" "another server is already listening on $sock" || fail "no reason for the refusal"
exec 3>&-
stop "$pid" INT
[[ ! -e $sock ]] || fail "the socket file was left behind"
start b --socket "$sock"
kill -KILL "$pid" && ! wait "$pid"  # reaped: its listening socket is closed, its socket file stays
# --read, --exit-after: exactly N frames, also when more came in the same read.
start c --socket "$sock" --exit-after 2 --quiet-events --send 26:u32:1 --send 26:u32:2 --send 26:u32:3
[[ $("${send[@]}" --socket "$sock" --read 2) == *$'\n'*value=2 ]] || fail "--read 2 printed other than 2 frames"
! "${send[@]}" --socket "$sock" --expect-close --timeout 100 2>"$work/x.err" && has "$work/x.err" 'did not close' || fail "--expect-close did not say the server kept the connection"
"${send[@]}" --socket "$sock" raw:6d00001a00000004000000016d00001a00000004000000026d00001a0000000400000003  # one write
timeout 5 tail --pid="$pid" -f /dev/null
[[ $(grep -c . "$work/c.out") == 3 && $(cat "$work/c.out") == *'client 3 → server type=26 class=IPCMessageUnsignedInt length=4 value=2' ]] ||
    fail "--exit-after or --quiet-events: $(cat "$work/c.out")"
refused --socket "$work/c.out"
# Filters: only the frames of client 2, of types 26 and 54, going to the server.
start g --socket "$sock" --client 2 --type 26,54 --direction to-server --send 54:string:greeting
"${send[@]}" --socket "$sock" 54:string:one && "${send[@]}" --socket "$sock" --read 1 54:string:two 26:u32:7 19:strings:x >/dev/null
wait_for "$work/g.out" 'client 2 disconnected'
[[ $(grep -c 'type=' "$work/g.out") == 2 && $(grep -c 'client 1' "$work/g.out") == 0 ]] &&
    has "$work/g.out" 'client 2 → server type=26' || fail "filters: $(cat "$work/g.out")"
stop "$pid" TERM
# A reader of the output that goes away ends the server, as it ends a filter; the tap gives the path back first.
ends_with_reader() { timeout 10 bash -c 'set -o pipefail && "$@" | head -n 1' _ "${server[@]}" "$@" >/dev/null; }
ends_with_reader --socket "$sock" && [[ ! -e $sock ]] || fail "the server outlived its reader, or left its socket file"
while IFS='|' read -r args said; do  # $args split on purpose
    want=2 refused $args && has "$work/refused.err" "$said" || fail "'$args': $(cat "$work/refused.err")"
done <<'ROWS'
--bogus|unknown option '--bogus'
--send 54:nope:x|unknown kind 'nope'
--exit-after 0|above 0
--socket|--socket needs a path
--socket=|path has 1 to 107 bytes, not 0
--faults nope|unknown fault 'nope'
--faults|any of accept-then-close,close-in-header,
--seed 1|--seed is for the scripts of --faults
--tap --once|--tap forwards the traffic as it is
--pcap /nonexistent/x.pcap|--pcap /nonexistent/x.pcap: No such file or directory
--loop|--connection, --speed and --loop are for --replay
ROWS

# --faults: every connection gets a fault, the same seed plays the same ones, each printed as it happens; a
# connection the server ends on purpose has its fault line. --fault-rate 0: none.
faults_of() {  # faults_of LIST SEED
    start f --socket "$sock" --faults "$1" --seed "$2"
    for _ in 1 2 3; do  # each once the path is back from a recreate-socket
        for _ in $(seq 100); do [[ -S $sock ]] && break; sleep 0.05; done
        "${send[@]}" --socket "$sock" --expect-close --timeout 3000 54:string:x >/dev/null 2>&1 || true
    done
    stop "$pid" TERM
    awk '/ fault /{f[$4]=1} /disconnected \((closed by the server|reset)\)/ && !f[$4] {exit 1}' "$work/f.out" ||
        fail "a connection ended without its fault: $(cat "$work/f.out")"
    # Each connection's first fault: what comes later depends on how long a busy machine keeps the client.
    grep -E '^[0-9:.]+ \+[0-9.]+ client [0-9]+ fault ' "$work/f.out" | cut -d' ' -f3- | awk '!seen[$2]++'
}
first=$(faults_of all 42) && [[ $(wc -l <<<"$first") == 3 && $(faults_of all 42) == "$first" && $(faults_of all 43) != "$first" ]] ||
    fail "seeds do not replay their faults: $first"
[[ $(faults_of accept-then-close,close-between-frames 2 | grep -c ' fault ') == 3 ]] || fail "a connection without its fault"
start r --socket "$sock" --faults all --fault-rate 0
for _ in 1 2 3; do "${send[@]}" --socket "$sock" 54:string:x; done
wait_for "$work/r.out" 'client 3 disconnected'
! has "$work/r.out" ' fault ' || fail "--fault-rate 0 still injected: $(cat "$work/r.out")"
stop "$pid" TERM

# The tap takes a live server's path, prints both directions, and gives the path back on SIGTERM.
start server --socket "$sock" --hex --send 26:u32:9 && server_pid=$pid
refused --tap --socket "$work/nobody"
exec 3<>"$work/in" && stdin=$work/in start tap --tap --socket "$sock" --hex
[[ -S $sock.tapped ]] || fail "the server's socket was not moved aside"
refused --tap --socket "$sock"
"${send[@]}" --socket "$sock" --read 2 54:string:https://example.com/ >/dev/null & client_1=$!
wait_for "$work/tap.out" 'server → client 1 type=26 class=IPCMessageUnsignedInt length=4 value=9 payload=00000009'
echo 5:string:typed >&3
wait "$client_1" || fail "no reply through the tap"
wait_for "$work/tap.out" 'tap → client 1 type=5 class=IPCMessageSimpleString length=10 text="typed"'
wait_for "$work/tap.out" 'client 1 disconnected'
! has "$work/tap.out" 'closed by the server' || fail "the client's close was told as the server's"
sent='type=54 class=IPCMessageSimpleString length=25 text="https://example.com/" payload=0000001468747470733a2f2f6578616d706c652e636f6d2f00'
wait_for "$work/tap.out" "client 1 → server $sent"
wait_for "$work/server.out" "→ server $sent"
stop "$pid" TERM
[[ -S $sock && ! -e $sock.tapped ]] || fail "the path was not given back"
ends_with_reader --tap --socket "$sock" && [[ -S $sock && ! -e $sock.tapped ]] || fail "the tap outlived its reader"
"${send[@]}" --socket "$sock" 54:string:direct
wait_for "$work/server.out" 'text="direct"'
# A tap killed with SIGKILL leaves the server hidden: a plain server and a new tap refuse, pointing at --untap, which
# gives the path back. A tapped server that dies is not put back when its tap ends.
start tap --tap --socket "$sock" && kill -KILL "$pid" && ! wait "$pid"
refused --socket "$sock" && has "$work/refused.err" "--untap --socket $sock" || fail "no way back named"
refused --tap --socket "$sock" && has "$work/refused.err" "--untap --socket $sock" || fail "no way back named"
"${server[@]}" --untap --socket "$sock" >/dev/null && "${send[@]}" --socket "$sock" 54:string:untapped
wait_for "$work/server.out" 'text="untapped"'
start tap --tap --socket "$sock" && kill -KILL "$server_pid" && ! wait "$server_pid" && stop "$pid" TERM
[[ ! -e $sock && ! -e $sock.tapped ]] || fail "a dead server's socket file was put back"
