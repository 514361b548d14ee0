#!/usr/bin/env python3
"""Turns the records of one bench/compare.sh run into its tables and plot data.

    bench/report.py DIR

DIR holds bench.json (kesu-bench, Google Benchmark) and either process.json
(hyperfine) and rss.txt, or process-skipped.txt. Prints Markdown tables with
the targets' verdicts; writes DIR/throughput.dat for bench/plot.gp. Each
figure is the median of the repetitions (Google Benchmark's aggregate), or the
single run when there was one; cv is the spread of the repetitions.
"""
import json
import os
import sys

OUT = sys.argv[1]
SIZES = [0, 16, 256, 4096, 65536]
LABEL = {
    "Receive/kesu": "kesu client: read, build, decode, dispatch",
    "Receive/raw": "raw loop: recv 8, recv n into a fresh buffer",
    "Send/kesu": "kesu sendMessage → sender thread",
    "Send/raw": "raw write loop: header, payload",
    "Send/raw_queue": "raw+queue: mutex + condvar queue, writer thread",
    "Peer/zmq_pushpull": "ZeroMQ PUSH/PULL, ipc://",
    "Peer/dbus_signal": "D-Bus signals, private daemon",
    "Latency/kesu": "kesu: handler replies through sendMessage",
    "Latency/raw": "raw: two threads, write / recv ping-pong",
    "Latency/raw_queue": "raw+queue: reply handed to a writer thread",
    "Latency/zmq_pair": "ZeroMQ PAIR ping-pong, ipc://",
    "Latency/dbus_call": "D-Bus method call, private daemon",
    "Inbox/receive_direct": "kesu client, direct handler on the client thread",
    "Inbox/receive_inbox": "kesu client, IPCInbox dispatched by a poll loop",
    "Inbox/latency_direct": "kesu: direct handler replies through sendMessage",
    "Inbox/latency_inbox": "kesu: IPCInbox handler on a poll loop replies",
}
SERIES = ["Receive/kesu", "Send/kesu", "Receive/raw", "Send/raw", "Send/raw_queue",
          "Peer/zmq_pushpull", "Peer/dbus_signal"]  # the plot's columns

bench = json.load(open(os.path.join(OUT, "bench.json")))
fig, cv, skipped = {}, {}, {}
for b in bench["benchmarks"]:
    name = b["run_name"].replace("/manual_time", "").replace("/real_time", "")
    if b.get("error_occurred"):
        skipped[name.rstrip("0123456789/")] = b["error_message"]
    elif b.get("aggregate_name") == "cv":
        cv[name] = b.get("items_per_second", b["real_time"])
    elif b.get("aggregate_name") == "median" or b["run_type"] == "iteration" and name not in fig:
        fig[name] = b


def fps(case, size):
    return fig.get(f"{case}/{size}", {}).get("items_per_second")


def rtt(case):  # round trip in µs
    b = fig.get(case)
    return b and b["real_time"] * {"ns": 1e-3, "us": 1, "ms": 1e3}[b["time_unit"]]


def ratio(a, b):
    return a / b if a and b else None


def times(r):
    return "n/a" if r is None else f"{r:.2f} ×"


def goal(text, r, ok):
    return f"{text}: " + ("n/a" if r is None else "met" if ok(r) else "**missed**")


def size_label(size):
    return f"{size // 1024} KiB" if size >= 1024 else f"{size} B"


def missing(case):
    return f"skipped: {skipped[case]}" if case in skipped else "no figure"


def spread(name):
    return f", cv {cv[name] * 100:.0f} %" if name in cv else ""


def throughput(case, size):
    v = fps(case, size)
    if v is None:
        return missing(case)
    text = f"{v / 1e6:.2f} M frames/s" if v >= 1e6 else f"{v / 1e3:.0f} k frames/s"
    text += f", {v * size / 1e6:.1f} MB/s" if size else ""
    return text + f", {fig[f'{case}/{size}']['switches_per_frame']:.2f} switches/frame" + spread(f"{case}/{size}")


table = [["Part", "Payload", "Implementation", "Result", "Against", "Target"]]


def row(part, size, case, against="", target=""):
    table.append([part, size_label(size), LABEL[case], throughput(case, size), against, target])


for size in SIZES:
    r = ratio(fps("Receive/kesu", size), fps("Receive/raw", size))
    row("receive", size, "Receive/kesu", times(r) + " raw", goal("≥ 0.9 × raw", r, lambda r: r >= 0.9))
    row("receive", size, "Receive/raw")
for size in SIZES:
    raw = ratio(fps("Send/kesu", size), fps("Send/raw", size))
    queue = ratio(fps("Send/kesu", size), fps("Send/raw_queue", size))
    target = goal("≥ 0.8 × raw", raw, lambda r: r >= 0.8) + "; " if 16 <= size <= 4096 else ""
    row("send", size, "Send/kesu", f"{times(raw)} raw, {times(queue)} raw+queue",
        target + goal("≥ raw+queue", queue, lambda r: r >= 1))
    row("send", size, "Send/raw")
    row("send", size, "Send/raw_queue")
for case in ("Peer/zmq_pushpull", "Peer/dbus_signal"):
    for size in SIZES:
        rec, snd = (ratio(fps(f"{path}/kesu", size), fps(case, size)) for path in ("Receive", "Send"))
        both = None if rec is None or snd is None else min(rec, snd)
        target = ""
        if case == "Peer/dbus_signal" and size <= 256:
            target = goal("kesu ≥ 3 × D-Bus", both, lambda r: r >= 3)
        if case == "Peer/zmq_pushpull" and size >= 4096:
            target = goal("kesu above ZeroMQ", both, lambda r: r > 1)
        row(case.split("/")[1].replace("_", "-"), size, case, f"kesu receive {times(rec)}, send {times(snd)}", target)
for impl in ("kesu", "raw", "raw_queue", "zmq_pair", "dbus_call"):
    case, against, target = f"Latency/{impl}", "", ""
    result = missing(case)
    if rtt(case):
        result = f"one-way {rtt(case) / 2:.1f} µs (round trip {rtt(case):.1f} µs{spread(case)})"
    if impl in ("kesu", "raw_queue"):
        against = times(ratio(rtt(case), rtt("Latency/raw"))) + " raw"
    if impl == "kesu":
        r, z, d = (ratio(rtt(case), rtt(f"Latency/{peer}")) for peer in ("raw", "zmq_pair", "dbus_call"))
        against += f", {times(z)} ZeroMQ, {times(d)} D-Bus"
        target = "; ".join((goal("≤ 1.2 × raw", r, lambda r: r <= 1.2), goal("below ZeroMQ", z, lambda r: r < 1),
                            goal("below D-Bus", d, lambda r: r < 1)))
    table.append(["latency", "16 B", LABEL[case], result, against, target])

for size in (16, 4096):
    r = ratio(fps("Inbox/receive_inbox", size), fps("Inbox/receive_direct", size))
    row("inbox receive", size, "Inbox/receive_inbox", times(r) + " direct", goal("≥ 0.8 × direct", r, lambda r: r >= 0.8))
    row("inbox receive", size, "Inbox/receive_direct")
for size in (16, 4096):
    for impl in ("inbox", "direct"):
        case = f"Inbox/latency_{impl}"
        trip = rtt(f"{case}/{size}")
        result = f"one-way {trip / 2:.1f} µs (round trip {trip:.1f} µs{spread(f'{case}/{size}')})" if trip else missing(case)
        against, target = "", ""
        if impl == "inbox":
            r = ratio(trip, rtt(f"Inbox/latency_direct/{size}"))
            against, target = times(r) + " direct", goal("≤ 1.5 × direct", r, lambda r: r <= 1.5)
        table.append(["inbox latency", size_label(size), LABEL[case], result, against, target])

if os.path.exists(os.path.join(OUT, "process.json")):
    results = {r["command"]: r for r in json.load(open(os.path.join(OUT, "process.json")))["results"]}
    rss = dict(line.split() for line in open(os.path.join(OUT, "rss.txt")))
    for name, label in (("uri-launcher", "uri-launcher URI against kesu-dev-server"),
                        ("connect-write", "floor: C++ program, connect and write one frame")):
        r = {k: results[name][k] * 1e3 for k in ("median", "min", "max", "stddev")}
        result = f"median {r['median']:.1f} ms, range {r['min']:.1f}–{r['max']:.1f} ms, σ {r['stddev']:.2f} ms, " \
                 f"peak RSS {rss[name]} KiB"
        against = f"{r['median'] - 100:.1f} ms beyond the 100 ms poll" if name == "uri-launcher" else ""
        target = goal("≤ 105 ms", r["median"], lambda ms: ms <= 105) if name == "uri-launcher" else ""
        table.append(["whole process", "", label, result, against, target])
else:
    reason = open(os.path.join(OUT, "process-skipped.txt")).read().strip()
    table.append(["whole process", "", "uri-launcher", "skipped: " + reason, "", ""])

widths = [max(len(cells[c]) for cells in table) for c in range(len(table[0]))]
for i, cells in enumerate(table):
    print("| " + " | ".join(cell.ljust(w) for cell, w in zip(cells, widths)) + " |")
    if i == 0:
        print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
print("\n| Codec case | CPU time per message | Payload bytes per CPU second |\n|---|---:|---:|")
for name, b in sorted(fig.items(), key=lambda item: (item[0].split("/")[1], item[0].startswith("Decode"))):
    if name.startswith(("Encode/", "Decode/")):
        print(f"| {name} | {b['cpu_time']:.0f} {b['time_unit']} | {b['bytes_per_second'] / 1e6:.0f} MB/s |")
load = " ".join(f"{x:.2f}" for x in bench["context"]["load_avg"])
print(f"\nLoad average when kesu-bench started: {load}; {bench['context']['num_cpus']} cores.")

with open(os.path.join(OUT, "throughput.dat"), "w") as dat:
    dat.write(f"# index size {' '.join(SERIES)} (frames per second)\n")
    for i, size in enumerate(SIZES):
        values = ("?" if fps(case, size) is None else f"{fps(case, size):.0f}" for case in SERIES)
        dat.write(f"{i} {size_label(size).replace(' ', '')} {' '.join(values)}\n")
