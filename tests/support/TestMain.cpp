#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    // Whatever a test starts listens on loopback only, also when it turns peer-to-peer on.
    setenv("BRISKLANE_LISTEN_ADDRESS", "127.0.0.1", 0);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
