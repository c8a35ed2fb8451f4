// The main of the desktop-application tests against virtual beamformers
// behind the real libudev and libusb: the program first re-executes itself
// under the umockdev preload, then runs as every other UI test does.

#include <gtest/gtest.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "sim/preload.h"
#include "ui/application.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (!testing::GTEST_FLAG(list_tests)) {
        try {
            sovra::sim::EnsurePreload(argv);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s\n", e.what());
            return 1;
        }
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", /*overwrite=*/0);
    QApplication app(argc, argv);
    sovra::ui::PrepareUserInterface();
    return RUN_ALL_TESTS();
}
