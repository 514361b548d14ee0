# What the tool scripts share: the programs, a private directory and socket path, servers in the background.
# Sourced with DEV_SERVER FRAME_SEND [EMULATOR...] (FRAME_SEND may be "" where none is used).
set -euo pipefail
server=("${@:3}" "$1") send=("${@:3}" "$2") work=$(mktemp -d) pids=() sock=$work/messenger
trap 'status=$?; kill -KILL "${pids[@]}" 2>/dev/null || true; rm -rf "$work"; exit $status' EXIT

fail() {
    echo "FAIL: $*" >&2
    tail -n 30 "$work"/*.out "$work"/*.err >&2 || true
    exit 1
}
has() { grep -qF -- "$2" "$1" 2>/dev/null; }
# wait_for FILE TEXT: 20 s at most (a program under qemu-arm and a sanitizer starts slowly).
wait_for() {
    for _ in $(seq 400); do
        has "$1" "$2" && return 0
        sleep 0.05
    done
    fail "no '$2' in ${1##*/}"
}
start() {  # [log=err] start NAME ARGS...: a server in the background ($pid), once it says it listens
    : >"$work/$1.${log:-out}"  # here, not in the child: wait_for must not read what a server before it printed
    "${server[@]}" "${@:2}" <"${stdin:-/dev/null}" >"$work/$1.out" 2>"$work/$1.err" & pid=$! && pids+=($!)
    wait_for "$work/$1.${log:-out}" "$sock"
}
stop() { kill "-$2" "$1" && timeout 5 tail --pid="$1" -f /dev/null && wait "$1" || fail "exit status $? after SIG$2"; }
refused() {  # [want=STATUS] refused ARGS...: the server exits with STATUS (1) at once
    local status=0 && timeout 5 "${server[@]}" "$@" </dev/null >/dev/null 2>"$work/refused.err" || status=$?
    [[ $status == "${want:-1}" ]] || fail "'$*' exited with $status, not ${want:-1}"
}
