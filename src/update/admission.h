#pragma once
// What an update must pass before anything is sent, for the desktop
// application, `update`, `restore` and `watch` alike: the image, what the
// catalogue says of it (signature, SHA256) and the backup place, each with
// one wording. A refusal names its check, for the desktop application's
// fixed box, and an Error: the command line's sentence, raw, without the
// closing full stop.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/error.h"
#include "app/sha256.h"
#include "catalogue/catalogue.h"
#include "catalogue/catalogue_signature.h"
#include "update/state.h"
#include "update/update_outcome.h"

namespace sovra {

enum class Check {
    kNone,
    kFirmwareFile,  // cannot be read (E_FAIL), or is no image the flash can take
    kCatalogue,     // the catalogue is not trusted, or vouches for no such file
    kPin,           // not the file the catalogue entry pins by its SHA256
    kBackupPlace,   // no backup could be kept
    kDevice,        // the device cannot be had
};

struct Refusal {
    Check check = Check::kNone;
    Error error;
    explicit operator bool() const { return check != Check::kNone; }
};

// What is admitted: the image, whole, and who signed the catalogue.
struct Admitted {
    std::string path;
    std::vector<std::uint8_t> image;
    SignatureCheck signature;
};

// Loads `path` whole: a firmware file, or for a restore a saved flash (one
// whose only fault is its checksum when `force`: the job then checks that it
// goes onto its own device).
Refusal AdmitImage(UpdateMode mode, const std::string& path, bool force, Admitted& out);

// The command line's question of the catalogue for `out`'s file: with
// trusted keys installed a good signature, a SHA256 in every entry naming
// the file, and one of them pinning it; every SHA256 of such an entry
// matching.
Refusal AdmitFirmware(const FirmwareCatalogue& catalogue, Admitted& out);

// The desktop application's, for the chosen `entry`: trusted as above, then
// its file loaded, then its pin.
Refusal AdmitEntry(const FirmwareCatalogue& catalogue, const FirmwareEntry& entry, Admitted& out);

// Whether the policy's backup can be written now, before the device is read.
Refusal AdmitBackupPlace(const BackupPolicy& policy);

// What `entry`'s SHA256 says of a file `shownAs`, whose bytes have `digest`:
// a sentence with its full stop, or the empty text when the file passes.
std::string PinFailure(const FirmwareEntry& entry, const std::string& shownAs,
                       const Sha256Digest& digest);

}  // namespace sovra
