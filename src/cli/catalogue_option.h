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
#include "catalogue/catalogue_signature.h"

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

// What a catalogue entry's SHA256 says of a firmware file that does not
// pass it, as a sentence about `file` (already safe to print), or the empty
// text for kNotPinned and kMatches.
std::string PinFailure(const FirmwareEntry& entry, PinCheck check, const std::string& file,
                       const Sha256Digest& digest);

// The firmware file `path`, whose bytes have `digest`, checked against every
// entry of `catalogue` that names the same file (links followed) and
// carries SHA256. Each entry it fails is told on `err`; true when none.
bool FirmwareMatchesItsEntries(const FirmwareCatalogue& catalogue, const std::string& path,
                               const Sha256Digest& digest, std::ostream& err);

// FirmwareMatchesItsEntries, and when trusted keys are installed (see
// catalogue_signature.h) the catalogue's signature, and a pin of the signed
// catalogue that vouches for the file: what update and watch ask before
// sending `path` to any device. Each failure is told on `err`; `signature`
// says who signed.
bool FirmwareAdmitted(const FirmwareCatalogue& catalogue, const std::string& path,
                      const Sha256Digest& digest, SignatureCheck& signature, std::ostream& err);

// Adds --catalogue FILE to `cmd`, `what` saying what the catalogue is for
// ("The catalogue to read").
CLI::Option* AddCatalogueOption(CLI::App* cmd, std::string& path, std::string_view what);

// The look-up order, for the --help footer of every subcommand that reads a
// catalogue.
extern const char* const kCatalogueLookupHelp;

}  // namespace sovra::cli
