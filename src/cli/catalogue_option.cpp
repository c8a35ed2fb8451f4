#include "cli/catalogue_option.h"

#include <CLI/CLI.hpp>

#include "app/files.h"
#include "catalogue/catalogue_location.h"
#include "cli/device_select.h"

namespace sovra::cli {

const char* const kCatalogueLookupHelp = R"(
Without --catalogue, the catalogue is the first of these files that exists:
  ./FirmwareUpdate.xml
  $XDG_CONFIG_HOME/sovra-firmware-update/FirmwareUpdate.xml (~/.config/...)
  DIR/sovra-firmware-update/FirmwareUpdate.xml for each DIR of $XDG_DATA_DIRS
      (/usr/local/share, then /usr/share)
The catalogue read is named on stderr. Its File_Names are read from the
catalogue's own folder (a firmware bundle), or as written when absolute.
)";

std::optional<FirmwareCatalogue> LoadCatalogueOption(const std::optional<std::string>& path,
                                                     const CatalogueWording& wording,
                                                     std::ostream& err) {
    FirmwareCatalogue catalogue =
        path ? FirmwareCatalogue::LoadFrom(*path) : FirmwareCatalogue::LoadDefault();
    const std::string shown = path ? *path : ShownCataloguePath(catalogue.Path());
    // Asked for by name, a catalogue that cannot be read is a mistake to
    // report; without one, it is a place with no catalogue, which the desktop
    // application would show as empty lists.
    const bool fatal = path || wording.missingDefault.empty();
    // The user who named a catalogue knows which one is read; one that was
    // looked up may come from a place they did not think of.
    const bool announce = !path;
    switch (catalogue.Outcome()) {
        case CatalogueLoad::kComplete:
        case CatalogueLoad::kMalformed:
            if (announce) {
                err << "Catalogue: " << TerminalSafe(shown) << '\n';
            }
            if (catalogue.Outcome() == CatalogueLoad::kComplete) {
                break;
            }
            err << "warning: " << TerminalSafe(shown) << " is not well-formed ("
                << catalogue.ParseMessage() << "); " << wording.malformedUse << ".\n";
            break;
        case CatalogueLoad::kNotFound: {
            const std::string places =
                TerminalSafe(DescribeCatalogueSearch(CatalogueSearchEnvironment::FromProcess()));
            if (fatal) {
                err << "sovra-flash: no catalogue found (looked for " << places
                    << "). Name one with --catalogue FILE.\n";
                return std::nullopt;
            }
            err << "warning: no catalogue found (looked for " << places << "); "
                << wording.missingDefault << ". Name a catalogue with --catalogue FILE.\n";
            break;
        }
        case CatalogueLoad::kNotOpened:
        case CatalogueLoad::kUnreadable: {
            const char* verb =
                catalogue.Outcome() == CatalogueLoad::kNotOpened ? "cannot open" : "cannot read";
            if (fatal) {
                err << "sovra-flash: " << verb << " catalogue '" << TerminalSafe(shown)
                    << "': " << catalogue.ParseMessage() << "."
                    << (path ? "" : " Name one with --catalogue FILE.") << '\n';
                return std::nullopt;
            }
            err << "warning: " << verb << " " << TerminalSafe(shown) << " ("
                << catalogue.ParseMessage() << "); " << wording.missingDefault
                << ". Name a catalogue with --catalogue FILE.\n";
            break;
        }
    }
    return catalogue;
}

std::string CatalogueOutputClash(const std::optional<std::string>& catalogue,
                                 const std::string& output) {
    std::string read;
    if (catalogue) {
        read = *catalogue;
    } else if (const std::optional<CatalogueLocation> found = LocateCatalogue()) {
        read = found->path;
    } else {
        return {};
    }
    return OutputClashes(output, {{read, "the catalogue"}});
}

template <typename Path>
CLI::Option* AddCatalogueOption(CLI::App* cmd, Path& path, std::string_view what) {
    return cmd
        ->add_option("--catalogue", path, std::string(what) + " (default: looked up, see below)")
        ->type_name("FILE");
}
template CLI::Option* AddCatalogueOption(CLI::App*, std::string&, std::string_view);
template CLI::Option* AddCatalogueOption(CLI::App*, std::optional<std::string>&, std::string_view);

}  // namespace sovra::cli
