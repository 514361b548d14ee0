#!/usr/bin/env bash
# The uri-launcher program as a user runs it: output, exit status, and what a
# server at the built-in socket path receives.
#
#   uri-launcher-cli.sh CASE LAUNCHER FRAME_SINK [EMULATOR ARGS...]
#
# CASE is usage, no-server, with-server or extra-arguments. Every case but
# usage runs in a private mount namespace with a fresh tmpfs on /tmp, so the
# box's real socket path is never touched; without root or unshare it is
# skipped (exit 77).
set -u

case_name=$1
launcher=$2
sink=$3
shift 3
emulator=("$@")
socket_path=/tmp/kesu_messenger

fail() {
    echo "FAIL ($case_name): $*" >&2
    exit 1
}

if [ "$case_name" != usage ] && [ -z "${KESU_CLI_PRIVATE_TMP:-}" ]; then
    KESU_CLI_PRIVATE_TMP=1 exec "$(dirname "$0")/../private-tmp.sh" \
        bash "$0" "$case_name" "$launcher" "$sink" "${emulator[@]}"
fi

run_launcher() {
    "${emulator[@]}" "$launcher" "$@"
}

# The payload of a type-54 frame carrying $1, as the sink prints it.
uri_payload_hex() {
    local length
    length=$(LC_ALL=C printf '%s' "$1" | wc -c)
    printf '%08x%s00' "$length" "$(LC_ALL=C printf '%s' "$1" | od -An -v -tx1 | tr -d ' \n')"
}

# Starts the sink at the socket path and waits until it listens.
start_sink() {
    sink_output=$(mktemp)
    "${emulator[@]}" "$sink" "$socket_path" >"$sink_output" 2>&1 &
    sink_pid=$!
    trap 'kill "$sink_pid" 2>/dev/null' EXIT
    for _ in $(seq 1 200); do
        [ -S "$socket_path" ] && return 0
        kill -0 "$sink_pid" 2>/dev/null || break
        sleep 0.05
    done
    fail "the test server did not come up: $(cat "$sink_output")"
}

# Launches the arguments against the sink and checks the one frame it got.
expect_delivered() {
    local expected_uri=$1
    shift
    start_sink
    output=$(run_launcher "$@")
    status=$?
    [ "$output" = "Message sent" ] || fail "expected 'Message sent', got '$output'"
    [ "$status" -eq 0 ] || fail "exit status $status"
    wait "$sink_pid" || fail "test server: $(cat "$sink_output")"
    expected="frame 54 $(uri_payload_hex "$expected_uri")"
    received=$(cat "$sink_output")
    [ "$received" = "$expected" ] || fail "server received:
$received
expected exactly:
$expected"
}

case "$case_name" in
usage)
    output=$(run_launcher)
    status=$?
    [ "$output" = "Usage: $launcher <uri>" ] || fail "unexpected output '$output'"
    [ "$status" -eq 1 ] || fail "exit status $status, expected 1"
    ;;
no-server)
    [ ! -e "$socket_path" ] || fail "$socket_path exists in the private /tmp"
    output=$(run_launcher "dvb://nobody-listens")
    status=$?
    [ "$output" = "Timeout sending message" ] || fail "unexpected output '$output'"
    [ "$status" -eq 0 ] || fail "exit status $status, expected 0"
    ;;
with-server)
    expect_delivered "dvb://channel/7?audio=2" "dvb://channel/7?audio=2"
    ;;
extra-arguments)
    expect_delivered "dvb://first" "dvb://first" "dvb://second" "third"
    ;;
*)
    fail "unknown case"
    ;;
esac
echo "PASS ($case_name)"
