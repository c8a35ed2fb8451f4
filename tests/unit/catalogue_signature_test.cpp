#include "catalogue/catalogue_signature.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "tests/support/temp_dir.h"
#include "tests/support/test_signer.h"

namespace sovra {
namespace {

namespace fs = std::filesystem;
using Kind = testing::TestSigner::Kind;

constexpr const char* kCatalogue =
    R"(<Device_list><Device File_Name="fw.bin" REV="01.02" SHA256="00"/></Device_list>)";

void WriteText(const fs::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}

// Keys made once: making them is the slow part.
class CatalogueSignatureTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        keysDir_ = std::make_unique<testing::TempDir>("sovra-sig-test");
        signer_ = std::make_unique<testing::TestSigner>(keysDir_->Path());
        signer_->MakeKey("vendor");
        signer_->MakeKey("other");
        signer_->MakeKey("old", Kind::kExpired);
        signer_->MakeKey("gone", Kind::kRevoked);
    }
    static void TearDownTestSuite() {
        signer_.reset();
        keysDir_.reset();
    }
    void SetUp() override {
        env_.home = dir_.string();
        env_.xdgConfigHome = (dir_ / "config").string();
        env_.xdgDataDirs = (dir_ / "data").string();
        fs::create_directories(KeyFolder());
    }
    fs::path KeyFolder() const { return dir_ / "config/sovra-firmware-update/trusted-keys"; }

    static inline std::unique_ptr<testing::TempDir> keysDir_;
    static inline std::unique_ptr<testing::TestSigner> signer_;
    testing::TempDir tmp_{"sovra-sig-case"};
    const fs::path dir_ = tmp_.Path();
    CatalogueSearchEnvironment env_;
};

struct SignCase {
    const char* name;
    std::vector<std::pair<const char*, bool>> trusted;  // key, armoured
    const char* signer;                                 // nullptr: unsigned
    bool armouredSignature;
    enum { kNone, kBeforeLoading, kAfterLoading } change;
    SignatureState expected;
};

class SignatureCases : public CatalogueSignatureTest,
                       public ::testing::WithParamInterface<SignCase> {};

TEST_P(SignatureCases, GiveTheirState) {
    const SignCase& c = GetParam();
    for (const auto& [key, armoured] : c.trusted) {
        signer_->Export(key, KeyFolder() / (std::string(key) + (armoured ? ".asc" : ".gpg")),
                        armoured);
    }
    const fs::path catalogue = dir_ / "FirmwareUpdate.xml";
    WriteText(catalogue, kCatalogue);
    if (c.signer != nullptr) {
        signer_->Sign(c.signer, catalogue, c.armouredSignature);
    }
    if (c.change == SignCase::kBeforeLoading) {
        WriteText(catalogue, std::string(kCatalogue) + "\n");
    }
    const FirmwareCatalogue loaded = FirmwareCatalogue::LoadFrom(catalogue.string());
    if (c.change == SignCase::kAfterLoading) {
        WriteText(catalogue, "<Device_list/>");
    }

    const SignatureCheck check = CheckCatalogueSignature(loaded, env_);
    EXPECT_EQ(SignatureStateName(check.state), SignatureStateName(c.expected)) << check.detail;
    EXPECT_EQ(check.Refused(), !SignatureRefusal(check).empty());
    if (c.expected == SignatureState::kGood) {
        EXPECT_EQ(check.fingerprint, signer_->Fingerprint(c.signer));
        EXPECT_EQ(check.userId, std::string(c.signer) + " <" + c.signer + "@example.org>");
    }
    if (c.expected == SignatureState::kRevokedKey || c.expected == SignatureState::kExpiredKey) {
        // The sentence names the key, so the site knows which one to replace.
        EXPECT_NE(SignatureRefusal(check).find(signer_->Fingerprint(c.signer)), std::string::npos)
            << SignatureRefusal(check);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Catalogues, SignatureCases,
    ::testing::Values(
        SignCase{
            "NoKeyInstalled", {}, "vendor", false, SignCase::kNone, SignatureState::kUnchecked},
        SignCase{"GoodBinary",
                 {{"vendor", false}},
                 "vendor",
                 false,
                 SignCase::kNone,
                 SignatureState::kGood},
        SignCase{"GoodArmouredKeyAndSignature",
                 {{"vendor", true}},
                 "vendor",
                 true,
                 SignCase::kNone,
                 SignatureState::kGood},
        SignCase{"SecondOfTwoKeys",
                 {{"other", true}, {"vendor", false}},
                 "vendor",
                 false,
                 SignCase::kNone,
                 SignatureState::kGood},
        SignCase{"FileChangedAfterLoading",
                 {{"vendor", false}},
                 "vendor",
                 false,
                 SignCase::kAfterLoading,
                 SignatureState::kGood},
        SignCase{"Unsigned",
                 {{"vendor", false}},
                 nullptr,
                 false,
                 SignCase::kNone,
                 SignatureState::kMissing},
        SignCase{"ChangedAfterSigning",
                 {{"vendor", false}},
                 "vendor",
                 true,
                 SignCase::kBeforeLoading,
                 SignatureState::kBad},
        SignCase{"UntrustedKey",
                 {{"vendor", false}},
                 "other",
                 false,
                 SignCase::kNone,
                 SignatureState::kUnknownKey},
        SignCase{"ExpiredKey",
                 {{"old", false}},
                 "old",
                 false,
                 SignCase::kNone,
                 SignatureState::kExpiredKey},
        SignCase{"RevokedKey",
                 {{"gone", true}},
                 "gone",
                 false,
                 SignCase::kNone,
                 SignatureState::kRevokedKey}),
    [](const ::testing::TestParamInfo<SignCase>& info) { return info.param.name; });

TEST_F(CatalogueSignatureTest, AFileThatIsNoKeyIsSkippedAndTold) {
    WriteText(KeyFolder() / "README", "put keys here\n");
    const TrustedKeys keys = LoadTrustedKeys(TrustedKeyFolders(env_));
    EXPECT_TRUE(keys.keys.empty());
    ASSERT_EQ(keys.skipped.size(), 1u);
    EXPECT_NE(keys.skipped[0].find("README"), std::string::npos);
}

// What gpgv says that the real one cannot be made to say in a test.
TEST(GpgvStatus, OnlyAWholeGoodAnswerCounts) {
    const std::string good =
        "[GNUPG:] NEWSIG\n[GNUPG:] GOODSIG 0011 A %3Cb%3E\n"
        "[GNUPG:] VALIDSIG AB 2026-12-08 1 0 4 0 22 8 00 CD\n";
    struct Row {
        std::string status;
        int exit;
        SignatureState state;
    };
    for (const Row& r : {
             Row{good, 0, SignatureState::kGood},
             Row{good, 1, SignatureState::kBad},
             Row{"", 0, SignatureState::kBad},
             Row{"[GNUPG:] NEWSIG\n[GNUPG:] GOODSIG 0011 A\n", 0, SignatureState::kBad},
             Row{good + "[GNUPG:] NEWSIG\n[GNUPG:] BADSIG 0022 B\n", 1, SignatureState::kBad},
             Row{"[GNUPG:] NEWSIG\n[GNUPG:] ERRSIG 0011 22 8 00 1 4 -\n", 2, SignatureState::kBad},
             Row{"[GNUPG:] GOODSIG", 0, SignatureState::kBad},
         }) {
        const SignatureCheck check = ParseGpgvStatus(r.status, r.exit);
        EXPECT_EQ(SignatureStateName(check.state), SignatureStateName(r.state)) << r.status;
    }
    const SignatureCheck check = ParseGpgvStatus(good, 0);
    EXPECT_EQ(check.fingerprint, "CD");  // the primary key's
    EXPECT_EQ(check.userId, "A <b>");
}

TEST(Dearmor, RefusesDamagedArmour) {
    const std::string begin = "-----BEGIN PGP PUBLIC KEY BLOCK-----\n\n";
    const std::string end = "-----END PGP PUBLIC KEY BLOCK-----\n";
    EXPECT_EQ(DearmorPublicKeys(begin + "mQ==\n=abcd\n" + end), std::vector<std::uint8_t>{0x99});
    EXPECT_FALSE(DearmorPublicKeys(begin + "mQ==\n"));        // no end
    EXPECT_FALSE(DearmorPublicKeys(begin + "m!==\n" + end));  // not base64
    EXPECT_FALSE(DearmorPublicKeys("-----BEGIN PGP PUBLIC KEY BLOCK-----\nmQ==\n" + end));
    EXPECT_FALSE(DearmorPublicKeys("no key here"));
}

}  // namespace
}  // namespace sovra
