#pragma once
// What every subcommand that works on a device shares: the catalogue that
// says which devices are known, the device list exactly as the desktop
// application builds it, the --device choice, and the binding with a
// message a user can act on. `update` and `restore` use the same steps.

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include <vector>

#include "app/error.h"
#include "app/safe_text.h"

#include "catalogue/catalogue.h"
#include "device/device_control.h"
#include "device/device_rules.h"
#include "device/device_source.h"

namespace sovra::cli {

// How the device subcommands reach devices. The system's is libudev and
// libusb; tests put in a virtual device.
struct DeviceAccess {
    // A source of the present devices, or why there is none.
    std::function<Error(std::unique_ptr<DeviceSource>&)> openSource;
    // The same, watching for devices that come and go (its EventFd()).
    std::function<Error(std::unique_ptr<DeviceSource>&)> openWatchingSource;
    std::function<DeviceControl(const DeviceEntry&)> openControl;
};
DeviceAccess SystemDeviceAccess();

// The catalogue named by --catalogue, or the one the look-up finds. A named
// file that cannot be read is an error (printed; null returned); no
// catalogue found, or a malformed one, is a warning and gives what the
// parser kept.
std::optional<FirmwareCatalogue> LoadDeviceCatalogue(const std::optional<std::string>& path,
                                                     std::ostream& err);

// The device rows, in the desktop application's order; a failure when the
// devices cannot be enumerated at all.
Error ListDeviceRows(const FirmwareCatalogue& catalogue, const DeviceAccess& access,
                     std::vector<DeviceRow>& rows);

// An id as the command line shows and reads it ("0abc"); the backup names
// in the core use the same text.
using sovra::IdText;

// "VID:PID", each 1 to 8 hexadecimal digits.
bool ParseVidPid(std::string_view spec, std::uint32_t& vid, std::uint32_t& pid);

// --device DEV: a device path as `list` prints it, or VID:PID in hex when
// exactly one listed row has those ids, in `row`. Otherwise a failure naming
// the candidates or saying why nothing fits.
Error ResolveDevice(std::string_view spec, const std::vector<DeviceRow>& rows,
                    const DeviceRow*& row);

// A failed binding as the user reads it; for a permission problem, with how
// to fix it.
Error BindFailure(const DeviceControl& control);

}  // namespace sovra::cli
