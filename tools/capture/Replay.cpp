#include "capture/Replay.h"

#include <algorithm>
#include <cmath>

#include "frames/FrameAssembler.h"

namespace kesu_tools {
namespace {

constexpr Millis kQuietEnd{1000};  // a played-out client quiet this long is done
// Longer gaps are cut to this, which the clock can still add to now.
constexpr double kLongestGapMs = 24 * 3600 * 1000.0;

// The recorded bytes as a step: a whole frame goes as one, so that the
// server tells of it; anything else (raw bytes, a record that lies about its
// length) goes as it is.
Step stepOf(capture::Record const& record) {
    Step step = Step::raw(record.bytes);
    ipc_frame::Header header;
    step.wholeFrame = (record.flags & capture::kRaw) == 0 && record.bytes.size() >= ipc_frame::kHeaderBytes &&
        ipc_frame::decodeHeader(reinterpret_cast<unsigned char const*>(record.bytes.data()), header) &&
        record.bytes.size() - ipc_frame::kHeaderBytes == header.length;
    return step;
}

}  // namespace

Replay::Replay(ScriptedServer& scripted, std::vector<capture::Record> const& records, ConnectionId connection,
               double speed, Say sayLine, Finished onFinished)
    : server(scripted), say(std::move(sayLine)), finished(std::move(onFinished)) {
    playing = connection;
    if (playing == 0 && !records.empty()) playing = records.front().connection;
    int64_t previous = -1;
    for (capture::Record const& record : records) {
        if (record.connection != playing) continue;
        found = true;
        if (previous < 0) previous = record.microseconds;
        if (record.bytes.empty()) continue;  // the opening and closing records
        if (record.direction == Direction::ToServer) {
            if ((record.flags & capture::kRaw) == 0) fromClient.push_back(record.bytes);
            continue;
        }
        const double waitMs = speed > 0 ? static_cast<double>(record.microseconds - previous) / 1000.0 / speed : 0.0;
        gaps.push_back(Millis(std::llround(std::clamp(waitMs, 0.0, kLongestGapMs))));
        towardsClient.push_back(record);
        previous = record.microseconds;
    }
}

bool Replay::valid(std::string& error) const {
    if (playing == 0) {
        error = "the recording holds no connection";
        return false;
    }
    if (!found) {
        error = "the recording holds no connection " + std::to_string(playing);
        return false;
    }
    return true;
}

void Replay::connected(ConnectionId id) {
    sessions[id];
    for (size_t i = 0; i < towardsClient.size(); ++i) {
        if (gaps[i].count() > 0) server.enqueue(id, Step::idle(Step::Kind::Pause, gaps[i]));
        server.enqueue(id, stepOf(towardsClient[i]));
    }
}

void Replay::frame(ConnectionId id, Direction direction, IPCMessageStruct const& frame) {
    auto it = sessions.find(id);
    if (direction != Direction::ToServer || it == sessions.end() || it->second.over) return;
    Session& session = it->second;
    session.lastHeard = Clock::now();
    std::vector<char> bytes = frameBytes(frame);
    const std::string where = "client " + std::to_string(id) + " frame " + std::to_string(session.next + 1) + ": ";
    if (session.next >= fromClient.size()) {
        ++session.result.extra;
        say(where + "extra, " + describe(bytes));
        return;
    }
    std::vector<char> const& recorded = fromClient[session.next++];
    if (bytes == recorded) {
        ++session.result.same;
        say(where + "same, " + describe(bytes));
        return;
    }
    auto firstDifference = std::mismatch(bytes.begin(), bytes.end(), recorded.begin(), recorded.end());
    ++session.result.different;
    say(where + "different at byte " + std::to_string(firstDifference.first - bytes.begin()) + ", " + describe(bytes) +
        "; recorded " + describe(recorded));
}

// The rest of the client's stream is no frames: it matches nothing recorded.
void Replay::outOfSync(ConnectionId id, Direction direction, std::string const& what) {
    auto it = sessions.find(id);
    if (direction != Direction::ToServer || it == sessions.end() || it->second.over) return;
    ++it->second.result.different;
    say("client " + std::to_string(id) + " out of sync: " + what);
}

void Replay::idle(ConnectionId id) {
    auto it = sessions.find(id);
    if (it == sessions.end() || it->second.over) return;
    Session& session = it->second;
    auto quiet = std::chrono::duration_cast<Millis>(Clock::now() - session.lastHeard);
    if (quiet < kQuietEnd) {
        server.enqueue(id, Step::idle(Step::Kind::AwaitClientLeaving, kQuietEnd - quiet));
        return;
    }
    end(id, session);
    server.enqueue(id, Step::close(false));
}

void Replay::disconnected(ConnectionId id, ConnectionSummary const&, std::string const&) {
    auto it = sessions.find(id);
    if (it == sessions.end()) return;
    if (!it->second.over) end(id, it->second);
    sessions.erase(it);
}

void Replay::end(ConnectionId id, Session& session) {
    session.over = true;
    for (size_t i = session.next; i < fromClient.size(); ++i) {
        ++session.result.missing;
        say("client " + std::to_string(id) + " frame " + std::to_string(i + 1) + ": missing, " +
            describe(fromClient[i]));
    }
    Result const& result = session.result;
    say("client " + std::to_string(id) +
        (result.matched() ? " matched the recording: " : " differed from the recording: ") +
        std::to_string(result.same) + " same, " + std::to_string(result.different) + " different, " +
        std::to_string(result.missing) + " missing, " + std::to_string(result.extra) + " extra");
    if (finished) finished(id, result);
}

std::string Replay::describe(std::vector<char> const& bytes) {
    ipc_frame::Header header;
    if (bytes.size() < ipc_frame::kHeaderBytes ||
        !ipc_frame::decodeHeader(reinterpret_cast<unsigned char const*>(bytes.data()), header))
        return std::to_string(bytes.size()) + " bytes out of sync";
    return "type " + std::to_string(header.type) + " length " + std::to_string(header.length);
}

}  // namespace kesu_tools
