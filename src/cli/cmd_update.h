#pragma once
// `sovra-flash update` and `sovra-flash restore`: the desktop application's
// update, from the command line, for one device or several at once (one
// job of the update engine each). Both keep the device's old flash as a
// backup before anything is written, and read the written image back to
// check it; `restore` writes such a backup (a valid 256 KiB flash of the
// same device) back as it is.

#include <cstddef>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/device_select.h"
#include "update/admission.h"
#include "update/update_outcome.h"

namespace sovra::cli {

struct UpdateCliOptions {
    UpdateMode mode = UpdateMode::kMerge;
    std::vector<std::string> devices;  // --device, any number of times
    bool all = false;                  // --all: every listed device
    std::string image;                 // --firmware FILE, or restore's --image FILE
    std::optional<std::string> catalogue;
    std::optional<std::string> backup;  // --backup FILE (one device only)
    bool noBackup = false;
    bool noVerify = false;
    bool force = false;      // restore: onto a device whose own block differs
    bool reinstall = false;  // update: write a device that already holds the firmware
    bool yes = false;
    bool json = false;
    // The fingerprint of the key that signed the catalogue, for the history;
    // empty when it is not signed.
    std::string signingKey;
};

// What the runner may ask of the user's terminal.
struct Console {
    std::istream& in;
    bool inIsTerminal = false;   // may the user be asked?
    bool errIsTerminal = false;  // redraw progress in place?
    std::size_t columns = 80;
};

// What `update`, `restore` and `watch` check before any device is chosen:
// the image, the catalogue, and (not for a restore) what it says of the
// image. A refusal is told on `err`, and nullopt returned.
std::optional<FirmwareCatalogue> AdmitInputs(const UpdateCliOptions& o, Admitted& admitted,
                                             std::ostream& err);

// Binds `row`'s device; refused, with its entry in the system log, when it
// cannot be had.
Refusal OpenDevice(const DeviceAccess& access, const DeviceRow& row,
                   std::unique_ptr<DeviceChannel>& channel);

// Tells on `err` why nothing was sent, `hint` after the reason, with the
// system-log entry of a firmware file that cannot be read or that the
// catalogue refuses. Returns kExitRefused.
int RefuseUpdate(const Refusal& refusal, std::ostream& err, std::string_view hint = {});

// Exit status: 0 when every device holds its new image, 1 when any update
// failed or was refused, 2 on a usage error.
int RunUpdate(const UpdateCliOptions& options, const DeviceAccess& access, Console& console,
              std::ostream& out, std::ostream& err);

}  // namespace sovra::cli
