// Start Update with a trusted key installed: only a catalogue the key signed,
// and only an entry of it that pins its file, gets as far as the caution
// dialog; every other is refused with its sentence and the entry of a
// refused firmware file, before anything is sent.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <QMessageBox>
#include <QPushButton>

#include "app/sha256.h"
#include "support/log_receiver.h"
#include "support/test_signer.h"
#include "ui/caution_dialog.h"
#include "ui/main_window.h"
#include "ui_test_support.h"

namespace sovra::ui {
namespace {

struct Refusal {
    const char* name;
    const char* signer;  // nullptr: unsigned
    bool pinned;
    enum { kAsSigned, kCatalogueChanged, kFirmwareSwapped } change;
    // The box's second line contains this; empty: the caution dialog is reached.
    const char* says;
};

class SignedCatalogueTest : public ::testing::TestWithParam<Refusal> {
  protected:
    void SetUp() override {
        for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_DIRS"}) {
            if (const char* v = std::getenv(name)) {
                saved_.emplace_back(name, v);
            }
        }
        ::setenv("XDG_CONFIG_HOME", rig.dir.File("config").c_str(), 1);
        ::setenv("XDG_DATA_DIRS", rig.dir.File("data").c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("XDG_CONFIG_HOME");
        ::unsetenv("XDG_DATA_DIRS");
        for (const auto& [name, value] : saved_) {
            ::setenv(name.c_str(), value.c_str(), 1);
        }
    }

    testing::LogReceiver log;
    testing::TestRig rig;
    std::vector<std::pair<std::string, std::string>> saved_;
};

TEST_P(SignedCatalogueTest, RefusesWhatTheTrustedKeyDoesNotVouchFor) {
    const Refusal& c = GetParam();
    testing::TestSigner signer(rig.dir.File(""));
    signer.MakeKey("vendor");
    signer.MakeKey("other");
    const std::string keys = rig.dir.File("config/sovra-firmware-update/trusted-keys");
    std::filesystem::create_directories(keys);
    signer.Export("vendor", keys + "/vendor.gpg", false);

    const std::vector<std::uint8_t> firmware = testing::SampleFirmware();
    const std::string firmwarePath = rig.dir.Write("good.img", firmware);
    const std::string pin =
        c.pinned ? " SHA256=\"" + Sha256Hex(Sha256(firmware)) + "\"" : std::string();
    rig.WriteCatalogue({R"(Device_Name="Beamformer 100" VID="abc" PID="10")",
                        "File_Name=\"good.img\" REV=\"01.00\"" + pin});
    if (c.signer != nullptr) {
        signer.Sign(c.signer, rig.cataloguePath);
    }
    if (c.change == Refusal::kCatalogueChanged) {
        std::ofstream(rig.cataloguePath, std::ios::app) << "<!-- -->";
    } else if (c.change == Refusal::kFirmwareSwapped) {
        rig.dir.Write("good.img", testing::SampleDeviceFlash());
    }
    auto model = rig.PlugModel("/dev/bus/usb/001/002");

    MainWindow dlg(rig.Services());
    dlg.Prepare();
    dlg.show();
    dlg.FirmwareList()->setCurrentIndex(0);
    log.Drain();
    std::vector<testing::SeenBox> boxes;
    int cautions = 0;
    {
        const testing::ModalDriver driver([&](QWidget* modal) {
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                boxes.push_back(testing::Describe(box));
                testing::Dismiss(box);
            } else if (auto* caution = dynamic_cast<CautionDialog*>(modal)) {
                ++cautions;
                caution->findChild<QPushButton*>("2")->click();
            }
        });
        dlg.StartUpdate();
    }
    EXPECT_EQ(model->RequestCount(), 0u);
    if (*c.says == '\0') {
        EXPECT_TRUE(boxes.empty());
        EXPECT_EQ(cautions, 1);
        return;
    }
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "ERROR");
    EXPECT_EQ(boxes[0].text.rfind("Upgrade initialization error.\n", 0), 0u) << boxes[0].text;
    EXPECT_NE(boxes[0].text.find(c.says), std::string::npos) << boxes[0].text;
    EXPECT_EQ(log.Drain(),
              std::vector<testing::LogEntry>{testing::Entry(kEventErrorReadingFirmwareFile)});
    EXPECT_EQ(cautions, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Bundles, SignedCatalogueTest,
    ::testing::Values(
        Refusal{"Signed", "vendor", true, Refusal::kAsSigned, ""},
        Refusal{"Unsigned", nullptr, true, Refusal::kAsSigned, "is not signed"},
        Refusal{"ChangedAfterSigning", "vendor", true, Refusal::kCatalogueChanged,
                "signature is bad"},
        Refusal{"SignedByAnotherKey", "other", true, Refusal::kAsSigned, "not a trusted key"},
        Refusal{"EntryWithoutSha256", "vendor", false, Refusal::kAsSigned, "gives no SHA256"},
        Refusal{"FirmwareSwapped", "vendor", true, Refusal::kFirmwareSwapped,
                "does not match its catalogue entry"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace sovra::ui
