#pragma once
// The --catalogue option every subcommand that reads the catalogue shares:
// the file named, or FirmwareUpdate.xml in the current directory, loaded as
// the desktop application loads it, with one way of telling the user what
// went wrong.

#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "catalogue/catalogue.h"

namespace sovra::cli {

struct CatalogueWording {
    // How a file that is not well-formed is used, after "...; ".
    std::string_view malformedUse;
    // What a missing default file means, after "...; ". Empty: a missing
    // default file is an error as well as a missing named one.
    std::string_view missingDefault;
    // How the default file is named in messages.
    std::string_view defaultShown = "./FirmwareUpdate.xml";
};

// A named file that cannot be read is an error, and so is a missing default
// when `missingDefault` is empty: printed, and nullopt returned. Otherwise a
// warning is printed and the catalogue is what the parser kept.
std::optional<FirmwareCatalogue> LoadCatalogueOption(const std::optional<std::string>& path,
                                                     const CatalogueWording& wording,
                                                     std::ostream& err);

// The sentence refusing `output` when it is the catalogue the command reads
// (`catalogue`, or FirmwareUpdate.xml in the current directory when none is
// named), or the empty string. For the subcommands that read the catalogue
// and write a file, before they read anything.
std::string CatalogueOutputClash(const std::optional<std::string>& catalogue,
                                 const std::string& output);

}  // namespace sovra::cli
