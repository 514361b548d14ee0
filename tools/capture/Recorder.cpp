#include "capture/Recorder.h"

#include <time.h>

#include <utility>

#include "frames/FrameAssembler.h"

namespace kesu_tools::capture {

Recorder::Recorder(Writer& out, bool own, Ended onEnded) : writer(out), ownFrames(own), ended(std::move(onEnded)) {}

void Recorder::connected(ConnectionId id) { record(id, Direction::ToServer, kOpened, {}); }

void Recorder::frame(ConnectionId id, Direction direction, IPCMessageStruct const& frame) {
    record(id, direction, 0, frameBytes(frame));
}

void Recorder::rawBytes(ConnectionId id, Direction direction, char const* data, size_t size) {
    record(id, direction, kRaw, std::vector<char>(data, data + size));
}

void Recorder::disconnected(ConnectionId id, ConnectionSummary const&, std::string const&) {
    record(id, Direction::ToServer, kClosed, {});
}

void Recorder::record(ConnectionId id, Direction direction, uint8_t flags, std::vector<char> bytes) {
    if (over) return;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    Record record;
    record.microseconds = int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
    record.direction = direction == Direction::ToServer ? Direction::ToServer : Direction::ToClient;
    record.connection = id;
    const bool own = direction == Direction::InjectedToClient || (ownFrames && direction == Direction::ToClient);
    record.flags = static_cast<uint8_t>(flags | (own && !bytes.empty() ? kInjected : 0));
    record.bytes = std::move(bytes);
    if (writer.write(record)) return;
    over = true;
    ended(writer.error());
}

}  // namespace kesu_tools::capture
