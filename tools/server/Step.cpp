#include "server/Step.h"

#include <utility>

#include "frames/FrameAssembler.h"

namespace kesu_tools {

Step Step::frame(IPCMessageStruct const& frame, std::vector<size_t> pieces, Millis pause) {
    Step step = raw(frameBytes(frame), std::move(pieces), pause);
    step.wholeFrame = true;
    return step;
}

Step Step::raw(std::vector<char> bytes, std::vector<size_t> pieces, Millis pause) {
    Step step;
    step.kind = Kind::Send;
    step.bytes = std::move(bytes);
    step.pieces = std::move(pieces);
    step.pause = pause;
    return step;
}

Step Step::idle(Kind kind, Millis wait) {
    Step step;
    step.kind = kind;
    step.wait = wait;
    return step;
}

Step Step::setReading(bool on) {
    Step step = idle(Kind::SetReading, Millis(0));
    step.reading = on;
    return step;
}

Step Step::shutdownReadingForTesting() { return idle(Kind::ShutdownReadingForTesting, Millis(0)); }

Step Step::close(bool reset) {
    Step step = idle(Kind::Close, Millis(0));
    step.reset = reset;
    return step;
}

Step Step::recreateSocket(Millis absent) { return idle(Kind::RecreateSocket, absent); }

Step Step::fault(std::string note) {
    Step step = idle(Kind::Note, Millis(0));
    step.note = std::move(note);
    return step;
}

}  // namespace kesu_tools
