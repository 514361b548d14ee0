#include <gtest/gtest.h>

#include <csignal>

int main(int argc, char** argv) {
    // A write to a socket whose peer has gone must fail, not end the binary.
    std::signal(SIGPIPE, SIG_IGN);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
