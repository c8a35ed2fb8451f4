#pragma once
// What an update must pass before anything is sent to a device, the same
// for the desktop application, `update`, `restore` and `watch`: the image
// (a firmware file, or for a restore a saved flash), what the catalogue says
// of it (its signature, the entry's SHA256) and the place for the backup.
// Each check has one wording. A refusal says which check refused, so the
// desktop application can show its own fixed box and log entry, and carries
// an Error whose What() is the command line's sentence without its closing
// full stop (texts from outside are raw: the terminal writer makes them
// safe).

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/error.h"
#include "app/sha256.h"
#include "catalogue/catalogue.h"
#include "catalogue/catalogue_signature.h"
#include "update/backup_policy.h"
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

// Loads `path` whole into `out`: a firmware file, or for a restore a saved
// flash (one whose only fault is its checksum only when `force`, for the job
// to write onto its own device).
Refusal AdmitImage(UpdateMode mode, const std::string& path, bool force, Admitted& out);

// The command line's question of the catalogue for `out`'s firmware file:
// with trusted keys installed, a good signature, and every entry naming the
// file pinning it; each entry that names it and pins it, pinning these very
// bytes; when signed, some entry pinning them.
Refusal AdmitFirmware(const FirmwareCatalogue& catalogue, Admitted& out);

// The desktop application's: the chosen `entry` trusted (as above, the
// entry named by its File_Name), then its file loaded, then its pin.
Refusal AdmitEntry(const FirmwareCatalogue& catalogue, const FirmwareEntry& entry, Admitted& out);

// Whether the policy's backup can be written now, before the device is read.
Refusal AdmitBackupPlace(const BackupPolicy& policy);

// What `entry`'s SHA256 says of a file `shownAs`, whose bytes have `digest`:
// a sentence with its full stop, or the empty text when the file passes.
std::string PinFailure(const FirmwareEntry& entry, const std::string& shownAs,
                       const Sha256Digest& digest);

}  // namespace sovra
