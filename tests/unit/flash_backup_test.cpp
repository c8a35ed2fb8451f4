// Where backups of a device's flash go and how they are written: never
// over an older one, never half.

#include "device/flash_backup.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "flash/flash_command.h"
#include "tests/support/temp_dir.h"

namespace sovra {
namespace {

constexpr const char* kTail = "/sovra-firmware-update/backups";

TEST(FlashBackupTest, FolderFromStateHomeThenHomeAndNeverARelativePath) {
    struct Case {
        const char* name;
        const char* stateHome;
        const char* home;
        std::string expected;
    };
    const Case cases[] = {
        {"state home wins", "/s", "/h", std::string("/s") + kTail},
        {"no state home", "", "/h", std::string("/h/.local/state") + kTail},
        {"relative state home", "state", "/h", std::string("/h/.local/state") + kTail},
        {"relative home", "", "h", ""},
        {"neither", "", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(BackupDirectory(c.stateHome, c.home), c.expected);
    }
}

TEST(FlashBackupTest, TheUsersHomeComesFromThePasswordDatabase) {
    const std::string home = PasswordHomeFolder();
    ASSERT_FALSE(home.empty());
    EXPECT_EQ(home.front(), '/');
}

class FlashBackupFolderTest : public ::testing::Test {
  protected:
    static std::vector<std::uint8_t> Read(const std::string& path) {
        return testing::ReadFile(path);
    }

    testing::TempDir tmp_{"sovra-backup-test"};
    const std::string dir_ = tmp_.Path();
};

// Two backups of the same device in the same second: the second takes the
// next free name, and the first is left as it was.
TEST_F(FlashBackupFolderTest, ASecondBackupOfTheSameNameNeverReplacesTheFirst) {
    const DeviceEntry device{0xabc, 0x10, 0x102, "/dev/bus/usb/001/002"};
    const auto when = std::chrono::system_clock::time_point(std::chrono::seconds(1796679860));
    const std::string folder = dir_ + "/a/backups";
    const std::vector<std::uint8_t> first(FlashSize, 0x11);
    const std::vector<std::uint8_t> second(FlashSize, 0x22);
    std::string path1;
    std::string path2;
    std::string error;
    ASSERT_TRUE(KeepBackup(folder, device, when, first, path1, error)) << error;
    ASSERT_TRUE(KeepBackup(folder, device, when, second, path2, error)) << error;
    EXPECT_EQ(path1, folder + "/0abc-0010-bus001-dev002-20261207T214420Z.bin");
    EXPECT_EQ(path2, folder + "/0abc-0010-bus001-dev002-20261207T214420Z-1.bin");
    EXPECT_EQ(Read(path1), first);
    EXPECT_EQ(Read(path2), second);
    // Nothing else: no temporary file left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                            std::filesystem::directory_iterator()),
              2);
}

TEST_F(FlashBackupFolderTest, AFolderThatCannotBeHadIsAnErrorWithItsReason) {
    const DeviceEntry device{0xabc, 0x10, 0x102, "/dev/bus/usb/001/002"};
    std::ofstream(dir_ + "/file") << "x";
    struct Case {
        std::string folder;
        const char* says;
    };
    const Case cases[] = {
        {"", "no folder"},
        {dir_ + "/file", "is not a folder"},
        {dir_ + "/file/backups", "cannot create the folder"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        std::string path;
        std::string error;
        EXPECT_FALSE(KeepBackup(c.folder, device, std::chrono::system_clock::now(),
                                std::vector<std::uint8_t>(16), path, error));
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
    }
}

}  // namespace
}  // namespace sovra
