// The main of every integration test program: the virtual devices only
// exist for a process under the umockdev preload, so the program re-executes
// itself under it first (ctest, a debugger or a shell need not know).

#include <gtest/gtest.h>

#include <cstdio>
#include <exception>

#include "sim/preload.h"

int main(int argc, char** argv) {
    try {
        sovra::sim::EnsurePreload(argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
