#!/usr/bin/env bash
# Captures as a developer takes them home: recorded through the tap and looked at with tshark and the installed
# dissector (look; skipped, 77, without tshark or jq), and played again against uri-launcher (replay).
# Usage: capture.sh look|replay URI_LAUNCHER DEV_SERVER FRAME_SEND [EMULATOR...]
case_name=$1 launcher=("${@:5}" "$2") && shift 2
source "$(dirname "$0")/common.sh"

case $case_name in
look)
    for tool in tshark jq; do command -v $tool >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }; done
    "${server[@]}" --json --help >/dev/null 2>&1 || { echo "skipped: built without --json"; exit 77; }
    dissector=$("${server[@]}" --help | grep -oE '^  /.*/kesu\.lua$' | tr -d ' ')
    look() { tshark -X lua_script:"$dissector" -r "$@" 2>/dev/null; }
    # Behind the tap, a server whose every connection ends in a wrong marker, capturing what it sends itself.
    log=err start behind --socket "$sock" --faults wrong-marker --seed 1 --pcap - && behind=$pid
    mkfifo "$work/in" && exec 3<>"$work/in"
    stdin=$work/in start tap --tap --socket "$sock" --json --pcap "$work/tap.pcap"
    kill -STOP "$behind"  # the first client waits in its backlog, and reads the tap's typed frame alone
    "${send[@]}" --socket "$sock" --read 1 --timeout 30000 54:string:hi 19:strings:a,,b 26:u32:7 41:u64:4294967297 \
        60:u32s:1,2,3 15:hex:07 "32:hex:$(printf '%060d' 1)" 1:hex:0000003600000005 \
        40:hex:00000002616200ff000000000000000100010000000100000002000000030000000178000000000000 >/dev/null & client=$!
    wait_for "$work/tap.out" '"client":1,"direction":"client-to-server","type":40'
    echo 5:string:typed >&3
    wait "$client" || fail "the typed frame did not reach the client"
    kill -CONT "$behind"
    "${send[@]}" --socket "$sock" --expect-close 54:string:x >/dev/null 2>&1 || true      # the server's stream breaks
    "${send[@]}" --socket "$sock" --expect-close raw:4741524241474521 >/dev/null 2>&1 || true  # the client's
    "${send[@]}" --socket "$sock" raw:6d0000  # and a frame the client does not finish
    wait_for "$work/tap.out" '"event":"disconnected","client":4,'
    stop "$pid" TERM && stop "$behind" TERM
    grep -qE '^\{"event":"connected",.*,"time":[0-9]{10}\.[0-9]+,"elapsed":[0-9.e-]+\}$' "$work/tap.out" || fail "no JSON time"
    # Frame for frame, tshark's fields are the --json events' (the server's random texts and values aside).
    diff <(look "$work/tap.pcap" -Y kesu.type -T fields -e kesu.direction -e kesu.connection -e kesu.type \
               -e kesu.length -e kesu.class -e kesu.text -e kesu.value -e kesu.injected |
           awk -F'\t' -v OFS='\t' '$1 == 1 && $8 == 0 { $6 = $7 = "-" } 1') \
         <(jq -r 'select(.event == "frame") | [(if .direction == "client-to-server" then 0 else 1 end), .client, .type,
                  .length, .class, if .direction == "server-to-client" then "-", "-" else
                  ([.members | .text?, .strings[]?, (.streams[]? | .text1, .text2)] | map(values) | join(",")),
                  ([.members | .value?, .values[]?, .stats?, .allowed[]?, (.streams[]? | .number1, .number2, .number3)]
                   | map(values | tostring) | join(",")) end, (if .direction == "tap-to-client" then 1 else 0 end)]
                  | @tsv' "$work/tap.out") || fail "tshark and the --json events differ"
    # Each stream out of sync, and each unfinished frame, has raw records; the dev server's own frames and fault
    # bytes are injected.
    lost=$(jq -r 'select(.event == "out-of-sync" or .trailingBytes > 0) | [.client, (if .direction == "server-to-client"
                  then 1 else 0 end)] | @tsv' "$work/tap.out" | sort -u)
    [[ $lost == *$'2\t1'*$'3\t0'*$'4\t0'* ]] || fail "streams out of sync: $lost"
    [[ -z $(comm -23 <(echo "$lost") <(look "$work/tap.pcap" -Y 'kesu.raw == 1' -T fields -e kesu.connection -e kesu.direction |
           sort -u)) ]] || fail "a stream out of sync without raw records"
    [[ -z $(look "$work/behind.out" -Y 'kesu.direction == 1 && kesu.injected == 0') &&
       -n $(look "$work/behind.out" -Y 'kesu.raw == 1 && kesu.injected == 1') ]] || fail "the server's fault is not flagged"
    ;;
replay)
    launch() { KESU_MESSENGER_SOCKET=$sock "${launcher[@]}" "$1" 2>/dev/null; }
    start record --socket "$sock" --pcap "$work/session.pcap"
    [[ $(launch https://example.com/) == "Message sent" ]] || fail "nothing to record"
    stop "$pid" TERM
    # Replayed against the same client: the same frame, exit status 0; against another URI: 1.
    while read -r uri want said; do
        start replay --socket "$sock" --replay "$work/session.pcap" --speed 0
        [[ $(launch "$uri") == "Message sent" ]] || fail "$uri was not sent to the replay"
        timeout 10 tail --pid="$pid" -f /dev/null || fail "the replay did not end"
        status=0 && wait "$pid" || status=$?
        [[ $status == "$want" ]] && has "$work/replay.out" "$said" || fail "$uri: status $status: $(cat "$work/replay.out")"
    done <<'ROWS'
https://example.com/ 0 client 1 frame 1: same, type 54 length 25
https://example.org/ 1 client 1 frame 1: different at byte 28
ROWS
    # A file that cannot be replayed: exit status 2 and why.
    patched() {  # patched OFFSET BYTES: the session with BYTES written over it at OFFSET
        cp "$work/session.pcap" "$work/p" && printf "$2" | dd of="$work/p" bs=1 seek="$1" conv=notrunc status=none
        cat "$work/p"
    }
    while IFS='|' read -r make args said; do
        eval "$make" >"$work/bad.pcap"
        # shellcheck disable=SC2086 # $args split on purpose
        want=2 refused --replay "$work/bad.pcap" $args --socket "$sock" && has "$work/refused.err" "$said" ||
            fail "$make: $(cat "$work/refused.err")"
    done <<'ROWS'
echo not a capture||not a capture file
patched 20 '\x01\0\0\0'||link-layer type 1, not the tools' 147
head -c -1 "$work/session.pcap"||truncated
patched 32 '\x15\0\0\x01'||16777237 bytes, more than the frame bound allows
cat "$work/session.pcap"|--connection 9|holds no connection 9
ROWS
    # A full disk ends the tap's capture with one message; the traffic goes on.
    start behind --socket "$sock"
    start tap --tap --socket "$sock" --pcap /dev/full
    "${send[@]}" --socket "$sock" 54:string:one 54:string:two
    wait_for "$work/behind.out" 'text="two"'
    said="kesu-dev-server: --pcap /dev/full: No space left on device; the capture ends here, the traffic goes on"
    [[ $(<"$work/tap.err") == "$said" ]] || fail "the full disk: $(cat "$work/tap.err")"
    ;;
esac
