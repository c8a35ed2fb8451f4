// The main dialog: its template, its start, the device list kept current,
// the firmware list, and its end.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include "support/log_receiver.h"
#include "ui/application.h"
#include "ui/main_window.h"
#include "ui_test_support.h"

namespace sovra::ui {
namespace {

using testing::Entry;
using testing::LogReceiver;
using testing::TestRig;

std::vector<std::string> Rows(const QListWidget* list) {
    std::vector<std::string> rows;
    for (int i = 0; i < list->count(); ++i) {
        rows.push_back(list->item(i)->text().toStdString());
    }
    return rows;
}

std::vector<std::string> Rows(const QComboBox* combo) {
    std::vector<std::string> rows;
    for (int i = 0; i < combo->count(); ++i) {
        rows.push_back(combo->itemText(i).toStdString());
    }
    return rows;
}

int SelectedRow(const QListWidget* list) {
    const auto selected = list->selectedItems();
    return selected.isEmpty() ? -1 : list->row(selected.front());
}

class MainWindowTest : public ::testing::Test {
  protected:
    void SetUp() override { rig.WriteStandardCatalogue({"a.img", "b.img"}); }

    std::unique_ptr<MainWindow> Open() {
        auto dlg = std::make_unique<MainWindow>(rig.Services());
        dlg->Prepare();
        dlg->show();
        return dlg;
    }

    // What a start writes: its fixed entry, then which catalogue was read.
    std::vector<testing::LogEntry> StartEntries() const {
        return {Entry(kEventUtilityStarted),
                {EVENTLOG_INFORMATION_TYPE, "Catalogue read: " + rig.cataloguePath + "."}};
    }

    LogReceiver log;
    TestRig rig;
};

TEST_F(MainWindowTest, TemplateControlsKeepTheirIdsPlacesAndTexts) {
    auto dlg = Open();
    const DialogUnits u(DialogFont("Microsoft Sans Serif", 10));
    struct Control {
        const char* name;
        QRect dlu;
        const char* text;  // null: not looked at
    };
    const Control controls[] = {
        {"1", {195, 181, 50, 14}, "OK"},
        {"1007", {7, 7, 238, 8}, kTopText},
        {"1008", {7, 64, 238, 70}, nullptr},
        {"1009", {7, 181, 50, 14}, "Start Update"},
    };
    for (const Control& c : controls) {
        auto* w = dlg->findChild<QWidget*>(QString::fromLatin1(c.name));
        ASSERT_NE(w, nullptr) << c.name;
        EXPECT_EQ(w->geometry(), u.Rect(c.dlu.x(), c.dlu.y(), c.dlu.width(), c.dlu.height()))
            << c.name;
        if (c.text == nullptr) {
            continue;
        }
        QString text;
        if (auto* b = qobject_cast<QAbstractButton*>(w)) {
            text = b->text();
        } else if (auto* l = qobject_cast<QLabel*>(w)) {
            text = l->text();
        }
        EXPECT_EQ(text.toStdString(), c.text) << c.name;
    }
    // The firmware list: its place and width; its height is the closed box.
    const QRect combo = dlg->FirmwareList()->geometry();
    EXPECT_EQ(combo.topLeft(), u.Rect(7, 151, 238, 125).topLeft());
    EXPECT_EQ(combo.width(), u.X(238));
    EXPECT_EQ(dlg->FirmwareList()->objectName(), QStringLiteral("1010"));

    std::vector<std::string> statics;
    for (auto* label : dlg->findChildren<QLabel*>(QStringLiteral("-1"))) {
        statics.push_back(label->text().toStdString());
    }
    EXPECT_EQ(statics, (std::vector<std::string>{kInstructionText, kFirmwareLabelText}));
    EXPECT_EQ(dlg->size(), u.Size(252, 202));
    EXPECT_EQ(dlg->windowTitle().toStdString(), kMainCaption);
    EXPECT_TRUE(dlg->OkButton()->isDefault());
    EXPECT_FALSE(dlg->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(dlg->windowFlags() & Qt::WindowMaximizeButtonHint);
}

TEST_F(MainWindowTest, TabOrderIsTheTemplateOrderAndOkHasTheFocus) {
    auto dlg = Open();
    std::vector<std::string> order;
    QWidget* w = dlg->OkButton();
    do {
        if ((w->focusPolicy() & Qt::TabFocus) && w->parentWidget() == dlg.get()) {
            order.push_back(w->objectName().toStdString());
        }
        w = w->nextInFocusChain();
    } while (w != dlg->OkButton());
    EXPECT_EQ(order, (std::vector<std::string>{"1", "1008", "1009", "1010"}));
    ASSERT_TRUE(testing::PumpUntil([&] { return dlg->focusWidget() != nullptr; }));
    EXPECT_EQ(dlg->focusWidget(), dlg->OkButton());
}

TEST_F(MainWindowTest, StartWritesTheStartEntryOnceAndOffersTheChoicesUnselected) {
    rig.WriteCatalogue({
        R"(File_Name="z.img" REV="02.00" Device_Name="Zeta")",
        R"(File_Name="a.img" REV="1.0")",
        R"(File_Name="a.img" REV="1.0")",
        R"(File_Name="x.img" rev="3")",
        R"(File_Name="e.img" REV="5%s" Device_Name="")",
    });
    auto dlg = Open();
    EXPECT_EQ(log.Drain(), StartEntries());
    // Document order, duplicates kept, not sorted.
    EXPECT_EQ(Rows(dlg->FirmwareList()),
              (std::vector<std::string>{"Zeta, firmware ver. 02.00", "Sovra, firmware ver. 1.0",
                                        "Sovra, firmware ver. 1.0", ", firmware ver. 5%s"}));
    EXPECT_EQ(dlg->FirmwareList()->Selection(), -1);
    EXPECT_TRUE(dlg->FirmwareList()->currentText().isEmpty());
}

TEST_F(MainWindowTest, WithoutACatalogueBothListsStayEmpty) {
    rig.cataloguePath = rig.dir.File("missing.xml");
    rig.bus->Plug("/dev/bus/usb/001/002", testing::kKnownIds);
    auto dlg = Open();
    EXPECT_EQ(dlg->FirmwareList()->count(), 0);
    EXPECT_EQ(dlg->DeviceListBox()->count(), 0);
    EXPECT_FALSE(dlg->StartUpdateButton()->isEnabled());
}

// Each step changes the devices, then the list must show `rows` with row 0
// selected (or nothing when empty) and Start Update enabled exactly when a
// row exists.
TEST_F(MainWindowTest, DeviceListFollowsArrivalsAndRemovals) {
    rig.WriteCatalogue({
        R"(Device_Name="Beamformer 100" VID="abc" PID="10")",
        R"(Device_Name="Alpha" VID="abc" PID="11")",
    });
    auto dlg = Open();
    QListWidget* list = dlg->DeviceListBox();
    EXPECT_EQ(list->count(), 0);
    EXPECT_FALSE(dlg->StartUpdateButton()->isEnabled());
    ASSERT_TRUE(dlg->WatchingDevices());

    struct Step {
        const char* what;
        std::function<void()> change;
        std::vector<std::string> rows;
    };
    const std::string b100 = "Beamformer 100, firmware ver. 01.02";
    const std::string alpha = "Alpha, firmware ver. 01.16";
    const Step steps[] = {
        {"plug a known device",
         [&] {
             rig.bus->Plug("/dev/bus/usb/001/002", sovra::UsbIds{0x0ABC, 0x0010, 0x0102});
         },
         {b100}},
        {"plug an unknown device",
         [&] {
             rig.bus->Plug("/dev/bus/usb/001/003", sovra::UsbIds{0x0ABC, 0x0099, 0x0102});
         },
         {b100}},
        {"plug a second known device; alphabetical order",
         [&] {
             rig.bus->Plug("/dev/bus/usb/001/004", sovra::UsbIds{0xABC, 0x11, 0x110});
         },
         {alpha, b100}},
        {"select the second row, unplug the first",
         [&] {
             list->setCurrentRow(1);
             rig.bus->Unplug("/dev/bus/usb/001/004");
         },
         {b100}},
        {"replug it",
         [&] {
             rig.bus->Plug("/dev/bus/usb/001/004", sovra::UsbIds{0xABC, 0x11, 0x110});
         },
         {alpha, b100}},
        {"unplug everything",
         [&] {
             rig.bus->Unplug("/dev/bus/usb/001/002");
             rig.bus->Unplug("/dev/bus/usb/001/004");
         },
         {}},
    };
    for (const Step& step : steps) {
        step.change();
        ASSERT_TRUE(testing::PumpUntil([&] { return Rows(list) == step.rows; })) << step.what;
        EXPECT_EQ(SelectedRow(list), step.rows.empty() ? -1 : 0) << step.what;
        EXPECT_EQ(dlg->Devices().Selection(), step.rows.empty() ? -1 : 0) << step.what;
        EXPECT_EQ(dlg->StartUpdateButton()->isEnabled(), !step.rows.empty()) << step.what;
    }
}

// Only a device the list is about rebuilds it: anything else (an unknown
// device coming or going, an event that is neither) leaves the user's
// choice selected, while a known device arriving starts again at row 0.
TEST_F(MainWindowTest, OnlyAKnownDeviceMovesTheUsersSelection) {
    rig.WriteCatalogue({R"(Device_Name="B" VID="abc" PID="10")"});
    rig.bus->Plug("/dev/bus/usb/001/002", sovra::UsbIds{0x0ABC, 0x0010, 0x0102});
    rig.bus->Plug("/dev/bus/usb/001/003", sovra::UsbIds{0x0ABC, 0x0010, 0x0103});
    auto dlg = Open();
    QListWidget* list = dlg->DeviceListBox();
    ASSERT_EQ(list->count(), 2);
    // The window takes the arrivals from before it opened.
    ASSERT_TRUE(testing::PumpUntil([&] { return !rig.bus->Pending(); }));

    struct Step {
        const char* what;
        std::function<void()> change;
        int rows;
        int selected;
    };
    const Step steps[] = {
        {"an event that is neither", [&] { rig.bus->Nudge(); }, 2, 1},
        {"an unknown device arrives",
         [&] {
             rig.bus->Plug("/dev/bus/usb/001/004", sovra::UsbIds{0x0781, 0x5567, 0x0100});
         },
         2, 1},
        {"it leaves", [&] { rig.bus->Unplug("/dev/bus/usb/001/004"); }, 2, 1},
        {"a known device arrives",
         [&] {
             rig.bus->Plug("/dev/bus/usb/001/006", sovra::UsbIds{0x0ABC, 0x0010, 0x0104});
         },
         3, 0},
    };
    for (const Step& step : steps) {
        list->setCurrentRow(1);
        ASSERT_EQ(dlg->Devices().Selection(), 1) << step.what;
        step.change();
        // The window has taken the event once none is waiting.
        ASSERT_TRUE(testing::PumpUntil([&] { return !rig.bus->Pending(); })) << step.what;
        EXPECT_EQ(list->count(), step.rows) << step.what;
        EXPECT_EQ(SelectedRow(list), step.selected) << step.what;
        EXPECT_EQ(dlg->Devices().Selection(), step.selected) << step.what;
    }
}

// A single-selection list: a row, once selected, can be replaced by
// another, never cleared.
TEST_F(MainWindowTest, TheDeviceSelectionCannotBeCleared) {
    rig.bus->Plug("/dev/bus/usb/001/002", testing::kKnownIds);
    rig.bus->Plug("/dev/bus/usb/001/003", testing::kKnownIds);
    auto dlg = Open();
    QListWidget* list = dlg->DeviceListBox();
    ASSERT_EQ(list->count(), 2);
    const auto rowCentre = [list](int row) {
        return list->visualItemRect(list->item(row)).center();
    };

    struct Way {
        const char* name;
        std::function<void()> act;
        int selected;
    };
    const Way ways[] = {
        {"Ctrl+click on it",
         [&] {
             QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::ControlModifier, rowCentre(1));
         },
         1},
        {"Ctrl+Space", [&] { QTest::keyClick(list, Qt::Key_Space, Qt::ControlModifier); }, 1},
        {"a click below the rows",
         [&] {
             QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier,
                               QPoint(5, list->viewport()->height() - 3));
         },
         1},
        {"Ctrl+click on the other row",
         [&] {
             QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::ControlModifier, rowCentre(0));
         },
         0},
        {"a click on the other row",
         [&] { QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, rowCentre(0)); },
         0},
    };
    for (const Way& way : ways) {
        list->setCurrentRow(1);
        way.act();
        EXPECT_EQ(SelectedRow(list), way.selected) << way.name;
        EXPECT_EQ(dlg->Devices().Selection(), way.selected) << way.name;
    }
}

TEST_F(MainWindowTest, TypedTextNeverBecomesARowAndOnlyAnExactMatchSelects) {
    auto dlg = Open();
    EditableRowCombo* combo = dlg->FirmwareList();
    const std::vector<std::string> before = Rows(combo);
    ASSERT_EQ(before.size(), 2u);

    struct Case {
        const char* typed;
        int selection;
    };
    const Case cases[] = {
        {"Firmware", -1},
        {"firmware 1, firmware ver. 01.00", -1},  // case counts
        {"Firmware 2, firmware ver. 02.00", 1},
        {"Firmware 2, firmware ver. 02.00x", -1},
    };
    for (const Case& c : cases) {
        combo->lineEdit()->clear();
        combo->ClearSelection();
        combo->setFocus();
        QTest::keyClicks(combo->lineEdit(), QString::fromLatin1(c.typed));
        EXPECT_EQ(combo->Selection(), c.selection) << c.typed;
        EXPECT_EQ(combo->currentText().toStdString(), c.typed);
        EXPECT_EQ(Rows(combo), before) << c.typed;
    }
    // Choosing a row from the list selects it, as usual.
    combo->setCurrentIndex(0);
    EXPECT_EQ(combo->Selection(), 0);
}

TEST_F(MainWindowTest, ResizingMovesNoControl) {
    auto dlg = Open();
    std::vector<QRect> before;
    for (auto* w : dlg->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        before.push_back(w->geometry());
    }
    for (const QSize size : {QSize(200, 150), QSize(900, 700), QSize(1, 1)}) {
        dlg->resize(size);
        QCoreApplication::processEvents();
        EXPECT_EQ(dlg->size(), size);
        std::vector<QRect> after;
        for (auto* w : dlg->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
            after.push_back(w->geometry());
        }
        EXPECT_EQ(after, before);
    }
}

TEST_F(MainWindowTest, DestroyingTheWindowStopsWatchingAndReleasesEveryRow) {
    rig.bus->Plug("/dev/bus/usb/001/002", testing::kKnownIds);
    auto dlg = Open();
    ASSERT_EQ(dlg->DeviceListBox()->count(), 1);
    ASSERT_EQ(dlg->FirmwareChoiceRows().size(), 2u);
    EXPECT_EQ(rig.bus->OpenSources(), 1);

    dlg->StopWatchingDevices();
    EXPECT_EQ(rig.bus->OpenSources(), 0);
    EXPECT_FALSE(dlg->WatchingDevices());
    EXPECT_EQ(dlg->DeviceListBox()->count(), 0);
    EXPECT_TRUE(dlg->Devices().Rows().empty());
    EXPECT_EQ(dlg->FirmwareList()->count(), 0);
    EXPECT_TRUE(dlg->FirmwareChoiceRows().empty());
    // A device arriving now changes nothing.
    rig.bus->Plug("/dev/bus/usb/001/003", testing::kKnownIds);
    QCoreApplication::processEvents();
    EXPECT_EQ(dlg->DeviceListBox()->count(), 0);
}

// OK, Enter (OK has the focus), Esc and the close box all end the modal run
// the same way: the window is destroyed and its rows released.
TEST_F(MainWindowTest, EveryWayOfClosingEndsTheModalRun) {
    struct Way {
        const char* name;
        std::function<void(MainWindow*)> close;
    };
    const Way ways[] = {
        {"OK", [](MainWindow* d) { d->OkButton()->click(); }},
        {"Enter", [](MainWindow* d) { QTest::keyClick(d->focusWidget(), Qt::Key_Return); }},
        {"Esc", [](MainWindow* d) { QTest::keyClick(d, Qt::Key_Escape); }},
        {"close box", [](MainWindow* d) { d->close(); }},
    };
    for (const Way& way : ways) {
        rig.bus->Plug("/dev/bus/usb/001/002", testing::kKnownIds);
        MainWindow dlg(rig.Services());
        const testing::ModalDriver driver([&](QWidget* modal) {
            if (modal == &dlg && dlg.focusWidget() == dlg.OkButton()) {
                way.close(&dlg);
            }
        });
        dlg.Run();
        EXPECT_FALSE(dlg.isVisible()) << way.name;
        EXPECT_EQ(dlg.DeviceListBox()->count(), 0) << way.name;
        EXPECT_EQ(rig.bus->OpenSources(), 0) << way.name;
        rig.bus->Unplug("/dev/bus/usb/001/002");
    }
    // The start entries once per run, nothing else.
    std::vector<testing::LogEntry> expected;
    for (std::size_t i = 0; i < std::size(ways); ++i) {
        for (const testing::LogEntry& e : StartEntries()) {
            expected.push_back(e);
        }
    }
    EXPECT_EQ(log.Drain(), expected);
}

// The application object runs the main dialog once and returns the exit
// code 0 whichever way the dialog was closed.
class TestApp final : public Application {
  public:
    explicit TestApp(TestRig& rig) : rig_(rig) {}

  protected:
    DialogServices Services() const override { return rig_.Services(); }

  private:
    TestRig& rig_;
};

TEST_F(MainWindowTest, ApplicationRunsTheMainDialogOnceAndExitsWithZero) {
    TestApp app(rig);
    int seen = 0;
    const testing::ModalDriver driver([&](QWidget* modal) {
        if (modal == app.MainWindowWidget()) {
            ++seen;
            QTest::keyClick(modal, Qt::Key_Escape);
        }
    });
    EXPECT_EQ(app.Run(), 0);
    EXPECT_EQ(app.MainWindowWidget(), nullptr);
    EXPECT_GE(seen, 1);
    EXPECT_EQ(log.Drain(), StartEntries());
}

}  // namespace
}  // namespace sovra::ui
