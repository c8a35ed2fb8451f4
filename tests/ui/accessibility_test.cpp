// What a screen reader finds in each window: every control has a name.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QAccessibleInterface>
#include <system_error>
#include <thread>

#include "support/log_receiver.h"
#include "ui/caution_dialog.h"
#include "ui/main_window.h"
#include "ui/progress_dialog.h"
#include "ui_test_support.h"

namespace sovra::ui {
namespace {

// The visible controls of `window` (through Qt's accessibility interface,
// as an assistive technology walks it) that have no name.
std::vector<std::string> Unnamed(QWidget* window) {
    std::vector<std::string> unnamed;
    QAccessibleInterface* root = QAccessible::queryAccessibleInterface(window);
    EXPECT_NE(root, nullptr);
    if (root == nullptr) {
        return unnamed;
    }
    EXPECT_FALSE(root->text(QAccessible::Name).isEmpty());
    for (int i = 0; i < root->childCount(); ++i) {
        QAccessibleInterface* control = root->child(i);
        if (control == nullptr || control->state().invisible) {
            continue;
        }
        if (control->text(QAccessible::Name).trimmed().isEmpty()) {
            unnamed.push_back(control->object()->objectName().toStdString() + " (role " +
                              std::to_string(control->role()) + ")");
        }
    }
    return unnamed;
}

TEST(AccessibilityTest, EveryControlOfEveryWindowHasAName) {
    sovra::testing::LogReceiver log;
    testing::TestRig rig;
    rig.WriteStandardCatalogue({"a.img"});
    MainWindow main(rig.Services());
    main.Prepare();
    main.show();

    CautionDialog caution;
    caution.Prepare();
    caution.show();

    // A job that ends at once: the window then shows its end.
    ProgressDialog progress(nullptr, [](std::function<void()>) -> std::thread {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    });
    UpdateJob nothing;
    nothing.options.historyPath.clear();
    progress.SetJob(std::move(nothing));
    progress.Prepare();
    progress.show();

    for (QWidget* window : std::initializer_list<QWidget*>{&main, &caution, &progress}) {
        const int controls = QAccessible::queryAccessibleInterface(window)->childCount();
        EXPECT_GE(controls, 4) << window->windowTitle().toStdString();
        EXPECT_EQ(Unnamed(window), std::vector<std::string>{})
            << window->windowTitle().toStdString();
    }
}

}  // namespace
}  // namespace sovra::ui
