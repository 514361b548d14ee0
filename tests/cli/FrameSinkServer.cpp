// kesu-test-frame-sink PATH: a one-connection messenger server for the
// command-line tests. Listens at PATH, accepts one client, prints one line
// per frame it receives ("frame TYPE HEXPAYLOAD") until the client closes,
// then removes PATH and exits 0. Exits 1 if no client or no end comes within
// its time limit, so a test never waits on it for ever.
#include <chrono>
#include <cstdio>
#include <exception>
#include <string>

#include "fakes/TestServer.h"

namespace {

constexpr std::chrono::milliseconds kLimit{20000};

std::string hexOf(std::vector<char> const& payload) {
    std::string out;
    char digits[3];
    for (char c : payload) {
        std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned>(static_cast<unsigned char>(c)));
        out += digits;
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "Usage: %s PATH\n", argv[0]);
        return 2;
    }
    try {
        kesu_test::TestServer server{std::string(argv[1])};
        auto connection = server.accept(kLimit);
        if (!connection) {
            std::fputs("no client\n", stderr);
            return 1;
        }
        for (;;) {
            IPCMessageStruct frame;
            switch (connection->readFrame(frame, kLimit)) {
            case kesu_test::ReadOutcome::Frame:
                std::printf("frame %u %s\n", static_cast<unsigned>(frame.type), hexOf(frame.data).c_str());
                std::fflush(stdout);
                continue;
            case kesu_test::ReadOutcome::Closed:
                return 0;
            case kesu_test::ReadOutcome::OutOfSync:
                std::fputs("out of sync\n", stderr);
                return 1;
            case kesu_test::ReadOutcome::Failed:
                std::fputs("read failed or timed out\n", stderr);
                return 1;
            }
        }
    } catch (std::exception const& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
