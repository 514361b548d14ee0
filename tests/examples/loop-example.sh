#!/usr/bin/env bash
# An example against kesu-dev-server on a private path: messages reach the loop's thread in order, the
# answers reach the server, and after SIGTERM the end of the connection is the last event.
#   loop-example.sh EXAMPLE DEV_SERVER [EMULATOR...]
example=("${@:3}" "$1")
source "$(dirname "$0")/../tools/common.sh" "$2" "" "${@:3}"

start server --socket "$sock" --quiet-events --send 54:string:one --send 26:u32:7 --send 54:string:two \
    --send 7:hex:00ff --send 54:string:three
"${example[@]}" "$sock" >"$work/example.out" 2>"$work/example.err" &
example_pid=$!
pids+=($!)
wait_for "$work/server.out" "value=5"
kill -TERM "$example_pid"
wait "$example_pid" || fail "the example exited with status $?"

expected="connected on the loop's thread
message 1 on the loop's thread: type=54 text=\"one\"
message 2 on the loop's thread: type=26 value=7
message 3 on the loop's thread: type=54 text=\"two\"
message 4 on the loop's thread: type=7
message 5 on the loop's thread: type=54 text=\"three\"
disconnected on the loop's thread"
[ "$(cat "$work/example.out")" = "$expected" ] || fail "the example printed:
$(cat "$work/example.out")"
answers=$(grep -o 'type=26 class=IPCMessageUnsignedInt length=4 value=[0-9]*' "$work/server.out" | cut -d= -f5 | tr '\n' ' ')
[ "$answers" = "1 3 5 " ] || fail "the server received the answers '$answers', not '1 3 5 '"
echo PASS
