#!/usr/bin/env bash
# Launches one URI against the development messenger server on this machine:
# builds uri-launcher and kesu-dev-server when needed, starts the server on
# the box's socket path, runs uri-launcher, shows what the tool printed and
# what the server received, and exits with the tool's status.
#
# Usage: tools/demo.sh [URI]            (default: https://example.com/)
# KESU_BUILD_DIR=DIR uses DIR instead of build/default (configured with
# Ninja when it has no cache yet).
set -euo pipefail

uri=${1:-https://example.com/}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${KESU_BUILD_DIR:-$root/build/default}
socket=/tmp/kesu_messenger
server_bin=$build/tools/kesu-dev-server
launcher_bin=$build/app/uri-launcher

say() { printf '%s\n' "demo: $*"; }

if [[ ! -f $build/CMakeCache.txt ]]; then
    say "configuring $build"
    if [[ -n ${KESU_BUILD_DIR:-} ]]; then
        cmake -S "$root" -B "$build" -G Ninja
    else
        (cd "$root" && cmake --preset default)
    fi
fi
say "building uri-launcher and kesu-dev-server"
# As many jobs as the machine has cores: Ninja's default runs more, which a
# small shared machine pays for.
cmake --build "$build" --parallel "$(nproc)" --target uri-launcher kesu-dev-server

logs=$(mktemp -d)
server_pid=
server_status=0
stop_server() {
    [[ -n $server_pid ]] || return 0
    kill -TERM "$server_pid" 2>/dev/null || true
    server_status=0
    wait "$server_pid" || server_status=$?
    server_pid=
}
trap 'stop_server; rm -rf "$logs"' EXIT

# A child that has exited but is not yet reaped still answers kill -0.
has_exited() {
    [[ ! -e /proc/$1 ]] || [[ $(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null) == Z ]]
}

: >"$logs/server.out"
"$server_bin" </dev/null >>"$logs/server.out" 2>"$logs/server.err" &
server_pid=$!

# Ready once the server says it listens. The socket file alone proves
# nothing: it may belong to another server.
ready=false
for ((i = 0; i < 100; i++)); do
    if grep -q '^listening on ' "$logs/server.out"; then
        ready=true
        break
    fi
    if has_exited "$server_pid"; then
        cat "$logs/server.err" >&2
        server_status=0
        wait "$server_pid" || server_status=$?
        server_pid=
        if grep -q 'already listening' "$logs/server.err"; then
            say "a messenger server is already running on $socket; stop it, or run uri-launcher against it directly" >&2
        else
            say "kesu-dev-server could not start (status $server_status)" >&2
        fi
        exit 1
    fi
    sleep 0.05
done
if [[ $ready != true ]]; then
    cat "$logs/server.err" >&2
    say "kesu-dev-server did not start listening within 5 s" >&2
    exit 1
fi
say "kesu-dev-server listens on $socket (pid $server_pid)"

say "running: uri-launcher $uri"
echo "----- uri-launcher output"
status=0
"$launcher_bin" "$uri" || status=$?
echo "----- uri-launcher exit status: $status"

# The tool may be gone before the server has read its last frame: wait, a
# few seconds at most, until every client the server saw has disconnected.
for ((i = 0; i < 60; i++)); do
    connected=$(grep -c ' connected$' "$logs/server.out" || true)
    disconnected=$(grep -c ' disconnected' "$logs/server.out" || true)
    ((connected == disconnected)) && break
    sleep 0.05
done

echo "----- kesu-dev-server output"
cat "$logs/server.out"
if [[ -s $logs/server.err ]]; then
    echo "----- kesu-dev-server errors"
    cat "$logs/server.err"
fi
stop_server
if [[ $server_status != 0 ]]; then
    say "kesu-dev-server exited with status $server_status" >&2
fi
exit "$status"
