// The main of every desktop-application test program: one QApplication on
// the offscreen platform (unless the caller chose another), prepared as the
// program prepares it, around the tests.

#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "ui/application.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // Listing the tests (ctest's discovery) needs no display at all.
    ::setenv("QT_QPA_PLATFORM", "offscreen", /*overwrite=*/0);
    QApplication app(argc, argv);
    sovra::ui::PrepareUserInterface();
    return RUN_ALL_TESTS();
}
