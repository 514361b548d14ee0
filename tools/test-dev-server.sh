#!/usr/bin/env bash
# Drives kesu-dev-server with kesu-frame-send on a private socket path and
# checks what both print, how the server treats broken clients, and how it
# starts and stops.
#
# Usage: test-dev-server.sh PATH/TO/kesu-dev-server PATH/TO/kesu-frame-send [EMULATOR...]
# (the emulator, e.g. qemu-arm with its options, runs cross-built programs)
set -euo pipefail

server_bin=$1
send_bin=$2
shift 2
emulator=("$@")

work=$(mktemp -d)
if [[ ${#emulator[@]} -gt 0 ]]; then
    # Wrappers that exec the emulator keep pids and signals those of the program.
    for name in server send; do
        var=${name}_bin
        printf -v command '%q ' "${emulator[@]}" "${!var}"
        printf '#!/usr/bin/env bash\nexec %s"$@"\n' "$command" >"$work/$name"
        chmod +x "$work/$name"
        printf -v "$var" '%s' "$work/$name"
    done
fi
sock=$work/messenger
started=()

cleanup() {
    local pid
    for pid in "${started[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

passed=0
fail() {
    echo "FAIL: $*" >&2
    local f
    for f in "$work"/*.out "$work"/*.err; do
        [[ -e $f ]] || continue
        echo "--- ${f##*/}" >&2
        cat "$f" >&2
    done
    exit 1
}
ok() {
    passed=$((passed + 1))
    echo "ok - $*"
}

# wait_for WHAT COMMAND...: polls until COMMAND succeeds, 5 s at most.
wait_for() {
    local what=$1 i
    shift
    for ((i = 0; i < 100; i++)); do
        "$@" && return 0
        sleep 0.05
    done
    fail "timed out waiting for $what"
}

has_line() { grep -qxF -- "$2" "$1" 2>/dev/null; }
has_text() { grep -qF -- "$2" "$1" 2>/dev/null; }
expect_line() { has_line "$1" "$2" || fail "no line '$2' in ${1##*/}"; }

# A child that has exited but is not yet reaped still answers kill -0.
has_exited() {
    [[ ! -e /proc/$1 ]] || [[ $(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null) == Z ]]
}
# wait_exit PID: waits (5 s at most) for PID to end and sets $status to its exit status.
wait_exit() {
    wait_for "process $1 to exit" has_exited "$1"
    status=0
    wait "$1" || status=$?
}

# --- Server A: greets every client, takes frames to send on a FIFO -------
mkfifo "$work/a.in"
"$server_bin" --socket "$sock" --send 60:u32s:1,2,3 --send 7:hex:00ff \
    <"$work/a.in" >"$work/a.out" 2>"$work/a.err" &
server_a=$!
started+=("$server_a")
exec 3>"$work/a.in"
wait_for "server A to listen" has_line "$work/a.out" "listening on $sock"
[[ -S $sock ]] || fail "no socket file at $sock"

# Client 1 stays connected until it has three frames: the two greetings and
# one sent later from the server's standard input.
"$send_bin" --socket "$sock" --read 3 --timeout 5000 $'54:string:hello\tworld' \
    >"$work/c1.out" 2>"$work/c1.err" 3>&- &
client_1=$!
started+=("$client_1")
wait_for "client 1's frame at the server" has_line "$work/a.out" \
    'client 1 → server type=54 class=IPCMessageSimpleString length=16 text="hello\tworld"'
wait_for "the greetings at client 1" has_line "$work/c1.out" 'frame type=7 class=IPCMessage length=2 payload=00ff'
expect_line "$work/c1.out" 'frame type=60 class=IPCMessageUnsignedIntArray length=16 values=[1, 2, 3]'
[[ $(grep -c '^frame ' "$work/c1.out") == 2 ]] || fail "client 1 got other frames than the greetings"
expect_line "$work/a.out" 'client 1 connected'
expect_line "$work/a.out" 'server → client 1 type=60 class=IPCMessageUnsignedIntArray length=16 values=[1, 2, 3]'
ok "frames from a client are printed decoded; --send frames reach the client on connect"

# Client 2: one frame of each kind the server decodes, then a hang-up.
media=00000002616200ff000000000000000100010000000100000002000000030000000178000000000000
"$send_bin" --socket "$sock" \
    40:hex:$media 1:hex:0000003600000005 15:hex:07 66:hex:0102 \
    19:strings:a,,b 41:u64:18446744073709551615 26:u32:4294967295 54:hex:00000004610a017f00 \
    >"$work/c2.out" 2>"$work/c2.err" || fail "client 2 could not send"
wait_for "client 2 to be gone" has_text "$work/a.out" 'client 2 disconnected'
expect_line "$work/a.out" 'client 2 → server type=40 class=IPCMessagePlayerMediaInfo length=41 text="ab" flag=true value=1 streams=[{1 2 3 "x" ""}]'
expect_line "$work/a.out" 'client 2 → server type=1 class=IPCMessage length=8 payload=0000003600000005 allowed=[54, 5]'
expect_line "$work/a.out" 'client 2 → server type=15 class=IPCMessageRecorderStats length=1 stats=7'
expect_line "$work/a.out" 'client 2 → server type=66 class=IPCMessage length=2 payload=0102'
expect_line "$work/a.out" 'client 2 → server type=19 class=IPCMessageStringArray length=21 strings=["a", "", "b"]'
expect_line "$work/a.out" 'client 2 → server type=41 class=IPCMessageUnsignedInt64 length=8 value=18446744073709551615'
expect_line "$work/a.out" 'client 2 → server type=26 class=IPCMessageUnsignedInt length=4 value=4294967295'
expect_line "$work/a.out" 'client 2 → server type=54 class=IPCMessageSimpleString length=9 text="a\n\x01\x7F"'
ok "every message class is printed with its members; non-printable bytes are escaped"

# Client 3: two whole frames in one write, then a frame cut into pieces.
"$send_bin" --socket "$sock" raw:6d00003a000000040000002a6d00003a0000000400000007 \
    raw:6d raw:000036 raw:0000 raw:000600 raw:00000268 raw:6900 \
    >"$work/c3.out" 2>"$work/c3.err" || fail "client 3 could not send"
wait_for "client 3 to be gone" has_text "$work/a.out" 'client 3 disconnected'
expect_line "$work/a.out" 'client 3 → server type=58 class=IPCMessageUnsignedInt length=4 value=42'
expect_line "$work/a.out" 'client 3 → server type=58 class=IPCMessageUnsignedInt length=4 value=7'
expect_line "$work/a.out" 'client 3 → server type=54 class=IPCMessageSimpleString length=6 text="hi"'
ok "frames are cut correctly however the stream is split"

# Client 4 loses the frame marker, client 5 announces an oversized frame:
# the server closes each of them, and only them.
"$send_bin" --socket "$sock" --expect-close --timeout 5000 raw:474152424147452121 \
    >"$work/c4.out" 2>"$work/c4.err" || fail "the server did not close client 4 after garbage"
expect_line "$work/a.out" 'client 4 out of sync: header starts with 0x47, not the frame marker'
expect_line "$work/a.out" 'client 4 disconnected (out of sync)'
"$send_bin" --socket "$sock" --expect-close --timeout 5000 raw:6d000036ffffffff \
    >"$work/c5.out" 2>"$work/c5.err" || fail "the server did not close client 5 after an oversized header"
expect_line "$work/a.out" 'client 5 out of sync: frame type=54 announces 4294967295 bytes, above the limit of 16777216'
has_text "$work/a.out" 'client 5 → server type=' && fail "an oversized frame was printed as a frame"
has_exited "$client_1" && fail "client 1 was dropped together with a broken client"
ok "a client that loses the frame marker or sends an oversized header is closed"

# Frames typed on the server's standard input go to every connected client;
# a bad line is reported and the server goes on.
echo 'bogus line' >&3
echo '# a comment' >&3
echo '5:string:to everyone' >&3
wait_exit "$client_1"
[[ $status == 0 ]] || fail "client 1 exited with $status"
expect_line "$work/c1.out" 'frame type=5 class=IPCMessageSimpleString length=16 text="to everyone"'
expect_line "$work/a.out" 'server → client 1 type=5 class=IPCMessageSimpleString length=16 text="to everyone"'
has_text "$work/a.err" "bad frame 'bogus line'" || fail "no complaint about the bad input line"
has_text "$work/a.err" "comment" && fail "a comment line was taken as a frame"
ok "frames from standard input reach the connected clients; bad lines are reported"

# A second server on the same path refuses to start; the first one stays.
status=0
timeout 5 "$server_bin" --socket "$sock" </dev/null >"$work/second.out" 2>"$work/second.err" || status=$?
[[ $status == 1 ]] || fail "a second server on a live path exited with $status, not 1"
has_text "$work/second.err" "another server is already listening on $sock" || fail "no reason given by the second server"
has_exited "$server_a" && fail "server A ended when a second server tried its path"
[[ -S $sock ]] || fail "the second server removed the live socket file"
ok "a second server on a live path refuses to start"

# SIGTERM: exit status 0 and the socket file is gone.
exec 3>&-
kill -TERM "$server_a"
wait_exit "$server_a"
[[ $status == 0 ]] || fail "server A exited with $status after SIGTERM"
[[ ! -e $sock ]] || fail "server A left its socket file behind"
ok "SIGTERM stops the server with status 0 and removes the socket file"

# SIGINT does the same. (Background jobs of a script start with SIGINT
# ignored; the server installs its own handler regardless.)
"$server_bin" --socket "$sock" </dev/null >"$work/d.out" 2>"$work/d.err" &
server_d=$!
started+=("$server_d")
wait_for "server D to listen" has_line "$work/d.out" "listening on $sock"
kill -INT "$server_d"
wait_exit "$server_d"
[[ $status == 0 ]] || fail "server D exited with $status after SIGINT"
[[ ! -e $sock ]] || fail "server D left its socket file behind"
ok "SIGINT stops the server the same way"

# A socket file left by a killed server is replaced; --exit-after ends the
# server by itself; --quiet-events keeps only the frames.
"$server_bin" --socket "$sock" </dev/null >"$work/b.out" 2>"$work/b.err" &
server_b=$!
started+=("$server_b")
wait_for "server B to listen" has_line "$work/b.out" "listening on $sock"
kill -KILL "$server_b"
wait_exit "$server_b"
[[ -S $sock ]] || fail "no stale socket file left by the killed server"
"$server_bin" --socket "$sock" --exit-after 2 --quiet-events </dev/null >"$work/c.out" 2>"$work/c.err" &
server_c=$!
started+=("$server_c")
wait_for "server C to listen" has_line "$work/c.out" "listening on $sock"

"$send_bin" --socket "$sock" 54:string:one >"$work/c6.out" 2>"$work/c6.err" || fail "client 6 could not send"
has_exited "$server_c" && fail "server C stopped after one frame of two"
"$send_bin" --socket "$sock" 54:string:two >"$work/c7.out" 2>"$work/c7.err" || fail "client 7 could not send"
wait_exit "$server_c"
[[ $status == 0 ]] || fail "server C exited with $status after --exit-after"
[[ ! -e $sock ]] || fail "server C left its socket file behind"
expect_line "$work/c.out" 'client 1 → server type=54 class=IPCMessageSimpleString length=8 text="one"'
expect_line "$work/c.out" 'client 2 → server type=54 class=IPCMessageSimpleString length=8 text="two"'
has_text "$work/c.out" "connected" && fail "--quiet-events still printed connection events"
ok "a stale socket file is replaced; --exit-after and --quiet-events work"

# A path that is not a socket is never removed.
echo keep >"$work/plain"
status=0
timeout 5 "$server_bin" --socket "$work/plain" </dev/null >"$work/plain.out" 2>"$work/plain.err" || status=$?
[[ $status == 1 ]] || fail "a server on a regular file exited with $status, not 1"
[[ $(cat "$work/plain") == keep ]] || fail "the regular file was touched"
ok "a server refuses a path that holds a regular file"

# --faults: every connection plays a script drawn from the seed; the same
# seed plays the same faults again, and each is printed as it happens.
faults_of() {
    "$server_bin" --socket "$sock" --faults all --seed "$1" </dev/null >"$work/f.out" 2>"$work/f.err" &
    local server=$!
    started+=("$server")
    wait_for "the fault server to listen" has_line "$work/f.out" "listening on $sock"
    for _ in 1 2 3; do "$send_bin" --socket "$sock" --expect-close --timeout 3000 54:string:x >/dev/null 2>&1 || true; done
    kill -TERM "$server"
    wait_exit "$server"
    grep -E '^client [0-9]+ fault ' "$work/f.out" | sed 's/ (at [0-9.]* s)$//' | head -n 4
}
first=$(faults_of 42)
[[ $(wc -l <<<"$first") -ge 3 ]] || fail "too few faults printed: $first"
[[ $(faults_of 42) == "$first" ]] || fail "the same seed played other faults"
[[ $(faults_of 43) != "$first" ]] || fail "another seed played the same faults"
ok "--faults plays the same faults for the same seed and prints each"

# Bad arguments: status 2 and a message.
for args in "--bogus" "--send 54:nope:x" "--send 99999999:u32:1" "--exit-after 0" "--socket" "--faults nope"; do
    status=0
    # shellcheck disable=SC2086 # split on purpose
    timeout 5 "$server_bin" $args </dev/null >/dev/null 2>"$work/args.err" || status=$?
    [[ $status == 2 ]] || fail "'$args' exited with $status, not 2"
    [[ -s $work/args.err ]] || fail "'$args' gave no message"
done
timeout 5 "$server_bin" --help </dev/null | grep -q '^Usage: kesu-dev-server' || fail "--help prints no usage"
ok "bad arguments give status 2; --help prints the usage"

echo "$passed passed, 0 failed"
