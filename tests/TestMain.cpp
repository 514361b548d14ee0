#include <gtest/gtest.h>

#include <csignal>

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);  // a write to a socket whose peer has gone must fail, not end the binary
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
