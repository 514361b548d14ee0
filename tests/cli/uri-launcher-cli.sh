#!/usr/bin/env bash
# The uri-launcher program as a user runs it: output, exit status, log lines, and what kesu-dev-server receives,
# byte for byte. The server listens where KESU_MESSENGER_SOCKET says, in the test's own directory; fixed-path and
# trusted-server use the built-in path in a private /tmp (see private-tmp.sh; skipped, 77, where there can be
# none), so the box's real socket path is never touched.
#   uri-launcher-cli.sh usage|no-server|with-server|fixed-path|trusted-server LAUNCHER DEV_SERVER [EMULATOR...]
set -u
export LC_ALL=C
case_name=$1 launcher=$2 server=$3 emulator=("${@:4}")
case $case_name in fixed-path | trusted-server) private=1 ;; *) private= ;; esac
[ -z "$private" ] || [ -n "${KESU_CLI_PRIVATE_TMP:-}" ] ||
    KESU_CLI_PRIVATE_TMP=1 exec "$(dirname "$0")/../private-tmp.sh" bash "$0" "$@"
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
[ -n "$private" ] || export KESU_MESSENGER_SOCKET=$work/messenger

fail() { echo "FAIL ($case_name): $*" >&2 && exit 1; }
run() { output=$("${emulator[@]}" "$launcher" "$@" 2>"$work/err") status=$?; }
expect() { [ "$output" = "$1" ] && [ "$status" -eq "${2:-0}" ] || fail "output '$output', exit status $status"; }
# [uid=UID] against ARGS...: runs the tool against a server (of user UID); $received is what it received.
against() {
    local program=$server
    if [ -n "${uid:-}" ]; then
        # Another user may not reach into the build tree (a private one is mode 700): it runs copies of the
        # server and of the platform library ($KESU_STB_LIBRARY) from the private /tmp.
        mkdir -p "/tmp/as-$uid" && cp "$server" "$KESU_STB_LIBRARY" "/tmp/as-$uid/" && chmod -R a+rX "/tmp/as-$uid" ||
            fail "cannot copy the server for user $uid"
        program=/tmp/as-$uid/$(basename "$server")
    fi
    : >"$work/server.out"  # here, not in the child: the wait below must not read the last server's line
    # shellcheck disable=SC2086 # the prefix is words
    ${uid:+setpriv --reuid=$uid --regid=$uid --clear-groups env LD_LIBRARY_PATH=/tmp/as-$uid} "${emulator[@]}" \
        "$program" --hex --quiet-events --socket "${KESU_MESSENGER_SOCKET:-/tmp/kesu_messenger}" </dev/null \
        >"$work/server.out" 2>&1 & local pid=$!
    for _ in $(seq 200); do
        grep -q '^listening on' "$work/server.out" && break
        sleep 0.05
    done
    run "$@"
    # Stopping, the server still reports what the client wrote.
    kill -TERM "$pid" && wait "$pid" || fail "the server: $(cat "$work/server.out")"
    received=$(grep ' → server ' "$work/server.out" | cut -d' ' -f3-)  # without the time stamps
}
# delivered URI: "Message sent", and the server received one frame only: type 54, a 4-byte length, URI, a zero.
delivered() {
    expect "Message sent"
    hex=$(printf '%08x' "${#1}")$(printf '%s' "$1" | od -An -v -tx1 | tr -d ' \n')00
    expected="client 1 → server type=54 class=IPCMessageSimpleString length=$((${#1} + 5)) text=\"$1\" payload=$hex"
    [ "$received" = "$expected" ] || fail "the server received '$received', expected exactly '$expected'"
}

case "$case_name" in
usage)
    run
    expect "Usage: $launcher <uri>" 1
    for option in -h --help; do
        run $option
        [ "$status" = 0 ] && [ "${output%%$'\n'*}" = "Usage: $launcher <uri>" ] || fail "$option"
    done
    root=$(dirname "$0")/../.. && run --version  # project()'s version; every option --help lists is in the man page
    [[ $status == 0 && $output == "uri-launcher $(grep -oE '^  VERSION [0-9.]+' "$root/CMakeLists.txt" | cut -d' ' -f4)" ]] ||
        fail "--version: $output"
    run --help
    for option in $(grep -oE -- '(^|[ ,])--?[a-z][a-z-]*' <<<"$output" | tr -d ' ,' | sort -u); do
        sed 's/\\-/-/g' "$root/man/uri-launcher.1.in" | grep -qF -- "$option" || fail "$option is not in the man page"
    done
    run -x dvb://x
    [ "$status" = 1 ] && grep -q "'-x' is not a URI" "$work/err" || fail "-x taken for a URI" ;;
no-server)
    KESU_LOG_LEVEL=3 run dvb://nobody-listens
    expect "Timeout sending message"
    grep -q "Socket path from KESU_MESSENGER_SOCKET: $KESU_MESSENGER_SOCKET$" "$work/err" &&
        grep -A1 -m1 ':129: Can not connect to IPC Messagenger server$' "$work/err" |
        grep -q ":130: $KESU_MESSENGER_SOCKET: No such file or directory$" || fail "log lines: $(cat "$work/err")" ;;
with-server)
    against "dvb://channel/7?audio=2"
    delivered "dvb://channel/7?audio=2"
    against -- -first second third  # -- ends the options; later arguments are ignored
    delivered -first
    for level in abc 3abc 2.5 -1 99; do
        KESU_LOG_LEVEL=$level against dvb://level
        delivered dvb://level
        [ "$(cat "$work/err")" = "KESU_LOG_LEVEL='$level' is not a level from 0 to 5; using 2" ] || fail "$(cat "$work/err")"
    done ;;
fixed-path)
    [ ! -e /tmp/kesu_messenger ] || fail "/tmp/kesu_messenger exists in the private /tmp"
    unset KESU_MESSENGER_SOCKET
    against dvb://fixed
    delivered dvb://fixed ;;
trusted-server)
    # $launcher trusts user 0 only: a server of another user gets nothing.
    command -v setpriv >/dev/null || { echo "skipped: no setpriv"; exit 77; }
    against dvb://root
    delivered dvb://root
    uid=65534 against dvb://forged
    expect "Timeout sending message"
    [ -z "$received" ] || fail "the untrusted server received: $received" ;;
*) fail "unknown case" ;;
esac
echo "PASS ($case_name)"
