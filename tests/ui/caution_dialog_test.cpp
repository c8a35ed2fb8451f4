// The caution dialog: its template, its text and colours, and its answers.

#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <QTest>

#include "ui/caution_dialog.h"
#include "ui_test_support.h"

namespace sovra::ui {
namespace {

// Pixels of exactly `colour` inside `area` of the widget as drawn.
int CountPixels(QWidget* w, const QRect& area, const QColor& colour) {
    const QImage image = w->grab(area).toImage();
    int n = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (image.pixelColor(x, y).rgb() == colour.rgb()) {
                ++n;
            }
        }
    }
    return n;
}

TEST(CautionDialogTest, TemplateTextsAndIds) {
    CautionDialog dlg;
    dlg.Prepare();
    const DialogUnits u(DialogFont("Microsoft Sans Serif", 10));
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Dialog"));
    EXPECT_EQ(dlg.size(), u.Size(251, 150));
    EXPECT_EQ(dlg.minimumSize(), dlg.maximumSize());

    auto* ok = dlg.findChild<QPushButton*>(QStringLiteral("1"));
    auto* cancel = dlg.findChild<QPushButton*>(QStringLiteral("2"));
    ASSERT_NE(ok, nullptr);
    ASSERT_NE(cancel, nullptr);
    EXPECT_EQ(ok->text(), QStringLiteral("OK"));
    EXPECT_EQ(cancel->text(), QStringLiteral("Cancel"));
    EXPECT_TRUE(ok->isDefault());
    EXPECT_EQ(ok->geometry(), u.Rect(138, 129, 50, 14));
    EXPECT_EQ(cancel->geometry(), u.Rect(194, 129, 50, 14));
    EXPECT_EQ(dlg.WarningText()->objectName(), QStringLiteral("1000"));
    EXPECT_EQ(dlg.WarningText()->geometry(), u.Rect(7, 26, 237, 99));
    EXPECT_EQ(dlg.WarningIcon()->objectName(), QStringLiteral("1001"));
    EXPECT_EQ(dlg.WarningIcon()->pos(), u.Rect(7, 7, 20, 20).topLeft());
    EXPECT_FALSE(dlg.WarningIcon()->pixmap().isNull());

    // The warning, character for character: 354 of them, "battery" followed
    // by four tabs, three spaces and a line break.
    const std::string text = dlg.WarningText()->text().toStdString();
    EXPECT_EQ(text, kCautionText);
    EXPECT_EQ(text.size(), 354u);
    EXPECT_NE(text.find("battery\t\t\t\t   \nTo start upgrade click 'OK' button.\n"),
              std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\t'), 4);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
}

TEST(CautionDialogTest, OnlyTheWarningIsDrawnInDarkRed) {
    CautionDialog dlg;
    dlg.Prepare();
    dlg.show();
    const QColor darkRed(192, 0, 0);
    EXPECT_EQ(dlg.WarningText()->EffectiveTextColour(), darkRed);
    EXPECT_GT(CountPixels(&dlg, dlg.WarningText()->geometry(), darkRed), 50);
    for (const char* button : {"1", "2"}) {
        auto* b = dlg.findChild<QPushButton*>(QString::fromLatin1(button));
        EXPECT_EQ(CountPixels(&dlg, b->geometry(), darkRed), 0) << button;
    }
    // The colour is the label's own at drawing time, not its palette's.
    EXPECT_NE(dlg.WarningText()->palette().color(QPalette::WindowText), darkRed);
}

// Enter confirms (OK is the default button and has the focus); Cancel, Esc
// and the close box refuse.
TEST(CautionDialogTest, AnswersOfTheModalRun) {
    struct Way {
        const char* name;
        std::function<void(CautionDialog*)> answer;
        int want;
    };
    const Way ways[] = {
        {"Enter", [](CautionDialog* d) { QTest::keyClick(d->focusWidget(), Qt::Key_Return); },
         QDialog::Accepted},
        {"OK", [](CautionDialog* d) { d->findChild<QPushButton*>("1")->click(); },
         QDialog::Accepted},
        {"Cancel", [](CautionDialog* d) { d->findChild<QPushButton*>("2")->click(); },
         QDialog::Rejected},
        {"Esc", [](CautionDialog* d) { QTest::keyClick(d, Qt::Key_Escape); }, QDialog::Rejected},
        {"close box", [](CautionDialog* d) { d->close(); }, QDialog::Rejected},
    };
    for (const Way& way : ways) {
        CautionDialog dlg;
        const testing::ModalDriver driver([&](QWidget* modal) {
            if (modal == &dlg && dlg.focusWidget() != nullptr) {
                EXPECT_EQ(dlg.focusWidget()->objectName(), QStringLiteral("1")) << way.name;
                way.answer(&dlg);
            }
        });
        EXPECT_EQ(dlg.Run(), way.want) << way.name;
    }
}

}  // namespace
}  // namespace sovra::ui
