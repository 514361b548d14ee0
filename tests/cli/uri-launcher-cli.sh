#!/usr/bin/env bash
# The uri-launcher program as a user runs it: output, exit status, and what kesu-dev-server at the built-in
# socket path receives, byte for byte. All but usage run in a private /tmp (see private-tmp.sh; skipped, 77,
# where there can be none), so the box's real socket path is never touched.
#   uri-launcher-cli.sh usage|no-server|with-server|extra-arguments|trusted-server LAUNCHER DEV_SERVER [EMULATOR...]
set -u
export LC_ALL=C
case_name=$1 launcher=$2 server=$3 emulator=("${@:4}")
[ "$case_name" = usage ] || [ -n "${KESU_CLI_PRIVATE_TMP:-}" ] ||
    KESU_CLI_PRIVATE_TMP=1 exec "$(dirname "$0")/../private-tmp.sh" bash "$0" "$@"

fail() { echo "FAIL ($case_name): $*" >&2 && exit 1; }
run() { output=$("${emulator[@]}" "$launcher" "$@") status=$?; }
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
    # shellcheck disable=SC2086 # the prefix is words
    ${uid:+setpriv --reuid=$uid --regid=$uid --clear-groups env LD_LIBRARY_PATH=/tmp/as-$uid} "${emulator[@]}" \
        "$program" --hex --quiet-events </dev/null >/tmp/server.out 2>&1 & local pid=$!
    for _ in $(seq 200); do grep -q '^listening on' /tmp/server.out && break; sleep 0.05; done
    run "$@"
    # Stopping, the server still reports what the client wrote.
    kill -TERM "$pid" && wait "$pid" || fail "the server: $(cat /tmp/server.out)"
    received=$(grep ' → server ' /tmp/server.out | cut -d' ' -f3-)  # without the time stamps
}
# delivered URI: "Message sent", and the server received one frame only: type 54, a 4-byte length, URI, a zero.
delivered() {
    expect "Message sent"
    hex=$(printf '%08x' "${#1}")$(printf '%s' "$1" | od -An -v -tx1 | tr -d ' \n')00
    expected="client 1 → server type=54 class=IPCMessageSimpleString length=$((${#1} + 5)) text=\"$1\" payload=$hex"
    [ "$received" = "$expected" ] || fail "the server received '$received', expected exactly '$expected'"
}

case "$case_name" in
usage) run; expect "Usage: $launcher <uri>" 1 ;;
no-server)
    [ ! -e /tmp/kesu_messenger ] || fail "/tmp/kesu_messenger exists in the private /tmp"
    run dvb://nobody-listens; expect "Timeout sending message" ;;
with-server) against "dvb://channel/7?audio=2"; delivered "dvb://channel/7?audio=2" ;;
extra-arguments) against dvb://first dvb://second third; delivered dvb://first ;;
trusted-server)
    # $launcher trusts user 0 only: a server of another user gets nothing.
    command -v setpriv >/dev/null || { echo "skipped: no setpriv"; exit 77; }
    against dvb://root; delivered dvb://root
    uid=65534 against dvb://forged; expect "Timeout sending message"
    [ -z "$received" ] || fail "the untrusted server received: $received" ;;
*) fail "unknown case" ;;
esac
echo "PASS ($case_name)"
