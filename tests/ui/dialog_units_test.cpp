// Dialog units, the minimised icon's place and the labels' animation.

#include <gtest/gtest.h>

#include <QFontInfo>

#include "ui/dialog_units.h"
#include "ui/progress_dialog.h"

namespace sovra::ui {
namespace {

TEST(MulDivTest, RoundsHalvesAwayFromZero) {
    struct Case {
        int a, b, c, want;
    };
    const Case cases[] = {
        {7, 8, 4, 14},   {7, 15, 8, 13},  // 13.125
        {5, 15, 8, 9},                    // 9.375
        {3, 12, 8, 5},                    // 4.5 rounds up
        {-3, 12, 8, -5},                  // -4.5 rounds away from zero
        {1, 1, 3, 0},    {2, 1, 3, 1},   {10, 96, 72, 13},
        {8, 96, 72, 11}, {1, 1, 0, -1},  // no divisor: the failure value
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MulDiv(c.a, c.b, c.c), c.want) << c.a << "*" << c.b << "/" << c.c;
    }
}

TEST(DialogUnitsTest, FontsResolveToTheMetricCompatibleFace) {
    for (const char* face : {"Microsoft Sans Serif", "MS Shell Dlg", "Arial"}) {
        const QFontInfo info(DialogFont(face, 10));
        EXPECT_EQ(info.family(), QStringLiteral("Liberation Sans")) << face;
    }
}

TEST(DialogUnitsTest, BasesOfTheDialogFonts) {
    // The main and caution dialogs use 10 pt, the progress dialog 8 pt.
    const DialogUnits ten(DialogFont("Microsoft Sans Serif", 10));
    EXPECT_EQ(ten.baseX(), 8);
    EXPECT_EQ(ten.baseY(), 15);
    const DialogUnits eight(DialogFont("MS Shell Dlg", 8));
    EXPECT_EQ(eight.baseX(), 6);
    EXPECT_EQ(eight.baseY(), 12);
}

TEST(DialogUnitsTest, RectanglesConvertEachFieldOnItsOwn) {
    const DialogUnits u(8, 15);
    EXPECT_EQ(u.Rect(7, 7, 238, 8), QRect(14, 13, 476, 15));
    EXPECT_EQ(u.Rect(195, 181, 50, 14), QRect(390, 339, 100, 26));
    EXPECT_EQ(u.Size(252, 202), QSize(504, 379));
    const DialogUnits small(6, 12);
    EXPECT_EQ(small.Rect(252, 155, 50, 14), QRect(378, 233, 75, 21));
    EXPECT_EQ(small.Size(309, 176), QSize(464, 264));
}

TEST(DialogUnitsTest, BoldLabelFontHasAnEighteenPixelCell) {
    const QFont font = FontForCellHeight("Arial", 18, QFont::Bold);
    EXPECT_EQ(font.pixelSize(), 16);
    EXPECT_TRUE(QFontInfo(font).bold());
}

TEST(MinimisedIconTest, CentresWithTruncatingDivision) {
    struct Case {
        QSize client;
        QPoint want;
    };
    const Case cases[] = {
        {{100, 100}, {34, 34}},
        {{101, 100}, {35, 34}},
        {{0, 0}, {-15, -15}},
        // -1 / 2 truncates to 0, not -1; -2 / 2 is -1.
        {{30, 29}, {0, -1}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MinimisedIconPosition(c.client, QSize(32, 32)), c.want)
            << c.client.width() << "x" << c.client.height();
    }
}

TEST(AnimatedTextTest, DotsDriftOnePlacePerTickAndWrapEveryFifteen) {
    struct Case {
        int tick;
        const char* want;
    };
    const Case cases[] = {
        {0, "Read firmware..."},  {1, "Read firmware ..."},  {14, "Read firmware              ..."},
        {15, "Read firmware..."}, {16, "Read firmware ..."},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(AnimatedText("Read firmware", c.tick), c.want) << c.tick;
    }
}

}  // namespace
}  // namespace sovra::ui
