#pragma once
// OpenPGP keys and detached signatures made on the fly with gpg, in a
// keyring of their own under a temporary folder: no network, and the
// user's keyring is never touched. Header-only, for every test that signs.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace sovra::testing {

class TestSigner {
  public:
    enum class Kind { kGood, kExpired, kRevoked };

    // Keys are kept in `folder`/gnupg; the folder must exist.
    explicit TestSigner(const std::filesystem::path& folder) : home_(folder / "gnupg") {
        std::filesystem::create_directories(home_);
        std::filesystem::permissions(home_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::replace);
    }
    ~TestSigner() {
        Gpg("gpgconf --kill all; GNUPGHOME='" + revokedHome_.string() + "' gpgconf --kill all",
            false);
    }
    TestSigner(const TestSigner&) = delete;
    TestSigner& operator=(const TestSigner&) = delete;

    // A signing key with the user id "NAME <NAME@example.org>". An expired
    // key was made in 2020 for one day; a revoked one has its revocation.
    void MakeKey(const std::string& name, Kind kind = Kind::kGood) {
        const std::string uid = "'" + name + " <" + name + "@example.org>'";
        const std::string then =
            kind == Kind::kExpired ? " --faked-system-time 20200101T000000" : "";
        Gpg("gpg --batch --pinentry-mode loopback --passphrase ''" + then + " --quick-gen-key " +
            uid + " ed25519 sign " + (kind == Kind::kExpired ? "1d" : "never"));
        if (kind == Kind::kExpired) {
            expired_ = name;
        }
        if (kind == Kind::kRevoked) {
            // The key stays usable here for signing; the copy others are
            // given carries its revocation (kept "disarmed", with a colon).
            const std::string rev =
                (home_ / "openpgp-revocs.d" / (Fingerprint(name) + ".rev")).string();
            const std::string other = "GNUPGHOME='" + revokedHome_.string() + "' gpg --batch";
            Gpg("mkdir -m 700 -p '" + revokedHome_.string() + "' && gpg --export " + name + " | " +
                other + " --import && sed 's/^:-----/-----/' '" + rev + "' | " + other +
                " --import");
            revoked_ = name;
        }
    }

    // Writes NAME's public key to `file`, armoured or binary.
    void Export(const std::string& name, const std::filesystem::path& file, bool armour) {
        std::filesystem::create_directories(file.parent_path());
        const std::string home =
            name == revoked_ ? "GNUPGHOME='" + revokedHome_.string() + "' " : "";
        Gpg(home + "gpg --batch --yes" + std::string(armour ? " --armor" : "") + " --output '" +
            file.string() + "' --export " + name);
    }

    // Signs `file` with NAME's key into FILE.sig, or FILE.asc when armoured.
    void Sign(const std::string& name, const std::filesystem::path& file, bool armour = false) {
        const std::string then = name == expired_ ? " --faked-system-time 20200101T010000" : "";
        Gpg("gpg --batch --yes" + then + " --local-user " + name +
            (armour ? " --armor --output '" + file.string() + ".asc'"
                    : " --output '" + file.string() + ".sig'") +
            " --detach-sign '" + file.string() + "'");
    }

    std::string Fingerprint(const std::string& name) {
        const std::filesystem::path out = home_ / "fpr";
        Gpg("gpg --batch --with-colons --list-keys " + name +
            " | grep -m1 '^fpr' | cut -d: -f10 > '" + out.string() + "'");
        std::ifstream in(out);
        std::string fpr;
        std::getline(in, fpr);
        return fpr;
    }

  private:
    void Gpg(const std::string& command, bool must = true) {
        const std::string line =
            "GNUPGHOME='" + home_.string() + "' sh -c \"" + command + "\" >/dev/null 2>&1";
        if (std::system(line.c_str()) != 0 && must) {
            throw std::runtime_error("failed: " + command);
        }
    }

    std::filesystem::path home_;
    std::filesystem::path revokedHome_ = home_.string() + "-revoked";
    std::string expired_;
    std::string revoked_;
};

}  // namespace sovra::testing
