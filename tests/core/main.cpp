// Entry point of the protocol core's tests: no Qt; the client speaks plain ws to the test server.
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
#ifdef _WIN32
    _putenv_s("QUARVO_SECURED", "0");
#else
    setenv("QUARVO_SECURED", "0", 1);
#endif
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
