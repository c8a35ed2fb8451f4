#pragma once
// The --catalogue option every subcommand that reads the catalogue shares:
// the file named, or the one the look-up finds (catalogue_location.h), loaded
// as the desktop application loads it, with one way of telling the user which
// catalogue was read and what went wrong.

#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "catalogue/catalogue.h"

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace sovra::cli {

struct CatalogueWording {
    // How a file that is not well-formed is used, after "...; ".
    std::string_view malformedUse;
    // What having no catalogue means, after "...; ". Empty: no catalogue
    // found, or one found that cannot be read, is an error as well as a
    // named file that cannot be read.
    std::string_view missingDefault;
};

// Says on `err` which catalogue was looked up and read ("Catalogue: PATH";
// not for one named with --catalogue). A named file
// that cannot be read is an error, and so is having none when
// `missingDefault` is empty: printed, and nullopt returned. Otherwise a
// warning is printed and the catalogue is what the parser kept.
std::optional<FirmwareCatalogue> LoadCatalogueOption(const std::optional<std::string>& path,
                                                     const CatalogueWording& wording,
                                                     std::ostream& err);

// The sentence refusing `output` when it is the catalogue the command reads
// (`catalogue`, or the one the look-up finds when none is named), or the
// empty string. For the subcommands that read the catalogue and write a
// file, before they read anything.
std::string CatalogueOutputClash(const std::optional<std::string>& catalogue,
                                 const std::string& output);

// Adds --catalogue FILE to `cmd`, `what` saying what the catalogue is for
// ("The catalogue to read").
// `Path` is std::string, or std::optional<std::string>, set only when given.
template <typename Path>
CLI::Option* AddCatalogueOption(CLI::App* cmd, Path& path, std::string_view what);

// The look-up order, for the --help footer of every subcommand that reads a
// catalogue.
extern const char* const kCatalogueLookupHelp;

}  // namespace sovra::cli
