#!/usr/bin/env bash
# The uri-launcher program as a user runs it: output, exit status, and what
# kesu-dev-server at the built-in socket path receives, byte for byte.
#
#   uri-launcher-cli.sh CASE LAUNCHER DEV_SERVER [EMULATOR ARGS...]
#
# CASE is usage, no-server, with-server, extra-arguments or trusted-server. Every case but
# usage runs in a private mount namespace with a fresh tmpfs on /tmp, so the
# box's real socket path is never touched; without root or unshare it is
# skipped (exit 77).
set -u
export LC_ALL=C
case_name=$1 launcher=$2 server=$3
shift 3
emulator=("$@")

fail() { echo "FAIL ($case_name): $*" >&2 && exit 1; }

if [ "$case_name" != usage ] && [ -z "${KESU_CLI_PRIVATE_TMP:-}" ]; then
    KESU_CLI_PRIVATE_TMP=1 exec "$(dirname "$0")/../private-tmp.sh" \
        bash "$0" "$case_name" "$launcher" "$server" "${emulator[@]}"
fi

# Launches the arguments against the server, which must receive one frame
# only: type 54 carrying $1 (a 4-byte big-endian length, the bytes, a zero).
expect_delivered() {
    local uri=$1 printed=/tmp/server.out
    shift
    "${emulator[@]}" "$server" --hex --quiet-events </dev/null >"$printed" 2>&1 &
    local pid=$!
    for _ in $(seq 200); do grep -q '^listening on' "$printed" && break; sleep 0.05; done
    output=$("${emulator[@]}" "$launcher" "$@")
    status=$?
    # Stopping, the server still reports what the client wrote.
    kill -TERM "$pid" && wait "$pid" || fail "the server: $(cat "$printed")"
    [ "$output" = "Message sent" ] && [ "$status" -eq 0 ] || fail "output '$output', exit status $status"
    hex=$(printf '%08x' "${#uri}")$(printf '%s' "$uri" | od -An -v -tx1 | tr -d ' \n')00
    expected="client 1 → server type=54 class=IPCMessageSimpleString length=$((${#uri} + 5)) text=\"$uri\" payload=$hex"
    received=$(grep ' → server ' "$printed")
    [ "$received" = "$expected" ] || fail "the server received:
$received
expected exactly:
$expected"
}

case "$case_name" in
usage)
    output=$("${emulator[@]}" "$launcher")
    status=$?
    [ "$output" = "Usage: $launcher <uri>" ] && [ "$status" -eq 1 ] || fail "output '$output', exit status $status"
    ;;
no-server)
    [ ! -e /tmp/kesu_messenger ] || fail "/tmp/kesu_messenger exists in the private /tmp"
    output=$("${emulator[@]}" "$launcher" "dvb://nobody-listens")
    status=$?
    [ "$output" = "Timeout sending message" ] && [ "$status" -eq 0 ] || fail "output '$output', exit status $status"
    ;;
with-server) expect_delivered "dvb://channel/7?audio=2" "dvb://channel/7?audio=2" ;;
trusted-server)
    # $launcher trusts user 0 only: a server of another user gets nothing.
    command -v setpriv >/dev/null || { echo "skipped: no setpriv"; exit 77; }
    expect_delivered "dvb://root" "dvb://root"
    setpriv --reuid=65534 --regid=65534 --clear-groups "${emulator[@]}" "$server" --quiet-events </dev/null >/tmp/server.out 2>&1 &
    pid=$!
    for _ in $(seq 200); do grep -q '^listening on' /tmp/server.out && break; sleep 0.05; done
    output=$("${emulator[@]}" "$launcher" "dvb://forged")
    kill -TERM "$pid" && wait "$pid"
    [ "$output" = "Timeout sending message" ] || fail "output '$output' against a server of user 65534"
    ! grep -q ' → server ' /tmp/server.out || fail "the untrusted server received: $(cat /tmp/server.out)"
    ;;
extra-arguments) expect_delivered "dvb://first" "dvb://first" "dvb://second" "third" ;;
*) fail "unknown case" ;;
esac
echo "PASS ($case_name)"
