#include <gtest/gtest.h>

#include <cstring>

#include "support.h"

// The same executable serves as the child process of the load-time tests, which need a fresh
// copy of the core with their own argv[0] and environment.
int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "--probe") == 0)
        return probeMain(argv[2]);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
