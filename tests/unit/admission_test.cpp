// The admission step's refusals that the front ends' own tests do not
// reach: which check refuses, and what the command line is told.

#include "update/admission.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "flash/sample_image.h"
#include "tests/support/test_signer.h"

namespace sovra {
namespace {

namespace fs = std::filesystem;

TEST(AdmissionTest, EachRefusalNamesItsCheckAndSaysWhy) {
    char pattern[] = "/tmp/admission-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const fs::path dir = pattern;
    const std::vector<std::uint8_t> image = MakeSampleImage({.records = 3, .seed = 11});
    std::ofstream(dir / "fw.img", std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    testing::TestSigner signer(dir);
    signer.MakeKey("vendor");
    signer.Export("vendor", dir / "keyed/sovra-firmware-update/trusted-keys/v.asc", true);
    ::setenv("XDG_DATA_DIRS", (dir / "none").c_str(), 1);

    const std::string pin = "SHA256=\"" + Sha256Hex(Sha256(image)) + "\"";
    const std::string other = "SHA256=\"" + std::string(64, 'a') + "\"";
    const struct {
        const char* name;
        bool sign;
        std::string entries;
        Check check;
        const char* says;
    } cases[] = {
        {"signed, pinned", true, R"(<Device File_Name="fw.img" REV="1" )" + pin + "/>",
         Check::kNone, ""},
        {"signed, an entry of the file without SHA256", true,
         R"(<Device File_Name="fw.img" REV="1" )" + pin +
             R"(/><Device File_Name="fw.img" REV="2"/>)",
         Check::kCatalogue, "The catalogue entry of '"},
        {"signed, the file not named", true, R"(<Device File_Name="x.img" REV="1" )" + other + "/>",
         Check::kCatalogue, "fw.img' is not a firmware file the signed catalogue names"},
        {"unsigned, another file pinned", false,
         R"(<Device File_Name="fw.img" REV="1" )" + other + "/>", Check::kPin,
         "fw.img does not match its catalogue entry"},
        {"unsigned, no digest", false, R"(<Device File_Name="fw.img" REV="1" SHA256="1.0"/>)",
         Check::kPin, "gives SHA256 '1.0', which is not 64 hexadecimal digits"},
        {"unsigned, unpinned", false, R"(<Device File_Name="fw.img" REV="1"/>)", Check::kNone, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path catalogue = dir / "FirmwareUpdate.xml";
        fs::remove(dir / "FirmwareUpdate.xml.sig");
        std::ofstream(catalogue) << "<Device_list>" << c.entries << "</Device_list>";
        if (c.sign) {
            signer.Sign("vendor", catalogue);
        }
        ::setenv("XDG_CONFIG_HOME", (dir / (c.sign ? "keyed" : "none")).c_str(), 1);
        Admitted admitted;
        ASSERT_FALSE(AdmitImage(UpdateMode::kMerge, dir / "fw.img", false, admitted));
        const Refusal r = AdmitFirmware(FirmwareCatalogue::LoadFrom(catalogue), admitted);
        EXPECT_EQ(r.check, c.check) << r.error.What();
        EXPECT_NE(r.error.What().find(c.says), std::string::npos) << r.error.What();
    }
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("XDG_DATA_DIRS");

    Admitted admitted;
    const Refusal missing = AdmitImage(UpdateMode::kMerge, dir / "missing.img", false, admitted);
    EXPECT_EQ(missing.check, Check::kFirmwareFile);
    EXPECT_EQ(missing.error.Code(), E_FAIL);
    const Refusal backup = AdmitBackupPlace(BackupPolicy::File(dir / "no/such/old.bin"));
    EXPECT_EQ(backup.check, Check::kBackupPlace);
    EXPECT_EQ(backup.error.What().rfind("cannot keep a backup: ", 0), 0u) << backup.error.What();
    fs::remove_all(dir);
}

}  // namespace
}  // namespace sovra
