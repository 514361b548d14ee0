// What kesu-dev-server prints: one line per event, as text or as a JSON
// object. Which events are printed at all is the program's choice. Each
// event carries the wall clock and the seconds since the output was made,
// as monitors of other buses print them.
#pragma once

#include <time.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "frames/Traffic.h"

namespace kesu_tools {

// When an event is printed.
struct Moment {
    timespec wall;   // CLOCK_REALTIME
    double elapsed;  // seconds since the stopwatch was made, by the monotonic clock
};

class Stopwatch {
public:
    Moment now() const;

private:
    const std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
};

class EventOutput {
public:
    virtual ~EventOutput() = default;
    // `upstream` is empty unless a tap forwards to it.
    virtual void listening(std::string const& path, std::string const& upstream) = 0;
    virtual void seed(uint64_t value) = 0;
    virtual void connected(ConnectionId id) = 0;
    virtual void frame(ConnectionId id, Direction direction, IPCMessageStruct const& frame) = 0;
    virtual void outOfSync(ConnectionId id, Direction direction, std::string const& what) = 0;
    virtual void injected(ConnectionId id, std::string const& what) = 0;
    virtual void disconnected(ConnectionId id, ConnectionSummary const& summary, std::string const& why) = 0;
};

// `payloadHex`: decoded frames show their raw payload too. `tap`: a stream
// out of sync is said to go on as raw bytes.
std::unique_ptr<EventOutput> makeTextOutput(bool payloadHex, bool tap);
// Only in a program built with JSON support.
std::unique_ptr<EventOutput> makeJsonOutput();

// One line to standard output, flushed at once: scripts read it through pipes.
void printLine(std::string const& line);

}  // namespace kesu_tools
