#pragma once
// A bundle's catalogue may carry a detached OpenPGP signature beside it,
// FirmwareUpdate.xml.sig (binary) or FirmwareUpdate.xml.asc (armoured). A
// site says whose signatures it takes by installing their public keys in
//   /etc/sovra-firmware-update/trusted-keys/,
//   DIR/sovra-firmware-update/trusted-keys/ for each DIR of $XDG_DATA_DIRS,
//   $XDG_CONFIG_HOME/sovra-firmware-update/trusted-keys/.
// With no key installed, catalogues are used unsigned. With one or more, a
// catalogue counts only with a good signature by one of them.
//
// The signature is checked by the distribution's gpgv, run with an empty
// environment, a home folder of its own and a keyring made of the trusted
// keys alone: the user's keyring and trust settings are never read, and
// gpgv uses no network. It checks the very bytes the catalogue was parsed
// from, copied for it, so the file changing meanwhile changes nothing.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/catalogue.h"
#include "catalogue/catalogue_location.h"

namespace sovra {

// The folders trusted keys are read from, in the order above.
std::vector<std::string> TrustedKeyFolders(const CatalogueSearchEnvironment& env);

struct TrustedKeys {
    // Every key found, as binary OpenPGP packets; a keyring is their
    // concatenation.
    std::vector<std::vector<std::uint8_t>> keys;
    // Files of the folders that hold no key, each a sentence.
    std::vector<std::string> skipped;
};

// The regular files of `folders` (in name order; a missing folder holds
// none), each armoured or binary.
TrustedKeys LoadTrustedKeys(const std::vector<std::string>& folders);

// The binary packets of every "PUBLIC KEY BLOCK" armoured in `text`, one
// after the other, or nullopt when it holds none or one is damaged.
std::optional<std::vector<std::uint8_t>> DearmorPublicKeys(std::string_view text);

enum class SignatureState {
    kUnchecked,   // no trusted key is installed: the catalogue is used as it is
    kGood,        // a good signature by a trusted key
    kMissing,     // no .sig or .asc beside the catalogue
    kBad,         // the catalogue was changed after signing, or the signature is damaged
    kUnknownKey,  // made by a key that is not trusted
    kExpiredKey,
    kRevokedKey,
    kExpired,     // the signature itself has expired
    kNotChecked,  // gpgv could not be run or did not answer in time
};

struct SignatureCheck {
    SignatureState state = SignatureState::kUnchecked;
    // The signing key: the primary key's fingerprint (upper-case hex) when
    // gpgv names it, else the key id; its user id as gpgv gives it.
    std::string fingerprint;
    std::string userId;
    // kNotChecked: why.
    std::string detail;

    // What the update history records: the key of a good signature, or none.
    std::string SigningKey() const {
        return state == SignatureState::kGood ? fingerprint : std::string();
    }
    bool Refused() const {
        return state != SignatureState::kUnchecked && state != SignatureState::kGood;
    }
};

// gpgv's --status-fd output and exit code, read.
SignatureCheck ParseGpgvStatus(std::string_view status, int exitCode);

// The catalogue's signature checked against the installed keys (those of
// this process's environment when `env` is not given).
SignatureCheck CheckCatalogueSignature(const FirmwareCatalogue& catalogue);
SignatureCheck CheckCatalogueSignature(const FirmwareCatalogue& catalogue,
                                       const CatalogueSearchEnvironment& env);

// The parts below are what CheckCatalogueSignature is made of, for tests.

// `signature` (binary or armoured) checked over `data` with `keys` as the
// only keyring, by gpgv, within `timeoutMs`.
SignatureCheck RunGpgv(const std::vector<std::vector<std::uint8_t>>& keys,
                       const std::vector<std::uint8_t>& signature,
                       const std::vector<std::uint8_t>& data, int timeoutMs = 10000);

// One sentence saying why a catalogue is refused, or the empty text when it
// is not. For the user: no file names, ends with a full stop.
std::string SignatureRefusal(const SignatureCheck& check);

// Why `entry` of a signed catalogue cannot be trusted (it pins no file), as
// a sentence naming `shownAs`; empty when it can, or when nothing is signed.
std::string UnpinnedRefusal(const SignatureCheck& check, const FirmwareEntry& entry,
                            std::string_view shownAs);

// "good", "unsigned", "missing", "bad", ... for --json and the history.
std::string_view SignatureStateName(SignatureState state);

}  // namespace sovra
