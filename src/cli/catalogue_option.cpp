#include "cli/catalogue_option.h"

#include "app/files.h"

namespace sovra::cli {

std::optional<FirmwareCatalogue> LoadCatalogueOption(const std::optional<std::string>& path,
                                                     const CatalogueWording& wording,
                                                     std::ostream& err) {
    const std::string shown = path ? *path : std::string(wording.defaultShown);
    FirmwareCatalogue catalogue =
        path ? FirmwareCatalogue::LoadFrom(*path) : FirmwareCatalogue::LoadDefault();
    switch (catalogue.Outcome()) {
        case CatalogueLoad::kComplete:
            break;
        case CatalogueLoad::kMalformed:
            err << "warning: " << shown << " is not well-formed (" << catalogue.ParseMessage()
                << "); " << wording.malformedUse << ".\n";
            break;
        case CatalogueLoad::kNotOpened:
        case CatalogueLoad::kUnreadable: {
            const char* verb =
                catalogue.Outcome() == CatalogueLoad::kNotOpened ? "cannot open" : "cannot read";
            // Asked for by name, a missing file is a mistake to report; the
            // default one missing is just a folder without a catalogue, which
            // the desktop application would show as empty lists.
            if (path || wording.missingDefault.empty()) {
                err << "sovra-flash: " << verb << " catalogue '" << shown
                    << "': " << catalogue.ParseMessage() << "."
                    << (path ? "" : " Name one with --catalogue FILE.") << '\n';
                return std::nullopt;
            }
            err << "warning: " << verb << " " << shown << " (" << catalogue.ParseMessage() << "); "
                << wording.missingDefault << ". Name a catalogue with --catalogue FILE.\n";
            break;
        }
    }
    return catalogue;
}

std::string CatalogueOutputClash(const std::optional<std::string>& catalogue,
                                 const std::string& output) {
    return OutputClashes(output, {{catalogue ? *catalogue : kCatalogueFileName, "the catalogue"}});
}

}  // namespace sovra::cli
