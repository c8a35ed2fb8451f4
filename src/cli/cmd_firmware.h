#pragma once
// `sovra-flash firmware`: the firmware choices a catalogue offers, exactly as
// the desktop application lists them.

#include <optional>
#include <ostream>
#include <string>

namespace sovra::cli {

struct FirmwareOptions {
    // Without one, the catalogue the look-up finds, as the desktop
    // application reads it.
    std::optional<std::string> catalogue;
    bool json = false;
};

// Prints the choices on `out`, warnings and errors on `err`; returns the
// exit status.
int RunFirmware(const FirmwareOptions& options, std::ostream& out, std::ostream& err);

}  // namespace sovra::cli
