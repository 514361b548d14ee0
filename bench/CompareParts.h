// The parts of kesu-compare. Each part runs its cases side by side with
// their references, trials interleaved, and writes one record per figure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "CompareSupport.h"

namespace kesu_bench {

// The library's receive path against a raw loop with the same calls.
void runReceivePart(Budget const& budget, Records& records);
// sendMessage through the sender thread against the raw write loop and the
// raw loop behind a plain mutex and condition-variable queue.
void runSendPart(Budget const& budget, Records& records);
// Ping-pong through a handler that replies from its callback, against two
// threads doing the same calls by hand.
void runLatencyPart(Budget const& budget, Records& records);
// ZeroMQ PUSH/PULL throughput and PAIR ping-pong over ipc://.
void runZmqPart(Budget const& budget, Records& records);
// D-Bus signals and method calls through a private bus daemon.
void runDbusPart(Budget const& budget, Records& records);

// One trial of one case of the library's parts, nothing recorded: for
// running under a profiler. `part` is receive or send, `implementation`
// kesu, raw or raw+queue. False for an unknown case.
bool profileOne(std::string const& part, std::string const& implementation, size_t payloadBytes, uint64_t frames);

// Merges the records of one or more runs (median per figure) into the
// table on standard output; writes the plot's data file when a path is given.
int report(std::vector<std::string> const& recordFiles, std::string const& plotDataPath);

}  // namespace kesu_bench
