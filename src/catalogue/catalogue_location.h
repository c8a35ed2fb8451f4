#pragma once
// Where the catalogue is found when none is named, and where the firmware
// files it names are read from. Both programs call this, so the desktop
// application started from the menu (in the home folder) and sovra-flash in
// a terminal find the same catalogue.
//
// Look-up order, first existing file wins:
//   1. FirmwareUpdate.xml in the working folder;
//   2. $XDG_CONFIG_HOME/sovra-firmware-update/FirmwareUpdate.xml
//      ($HOME/.config when XDG_CONFIG_HOME is unset, empty or relative);
//   3. <dir>/sovra-firmware-update/FirmwareUpdate.xml for each <dir> of
//      $XDG_DATA_DIRS in order (/usr/local/share:/usr/share when unset or
//      empty; relative entries are skipped, as the base-directory rules ask).
// A file that exists is taken even if it then cannot be read: the user sees
// why, instead of silently getting another catalogue.

#include <optional>
#include <string>
#include <vector>

namespace sovra {

class FirmwareCatalogue;

inline constexpr const char* kCatalogueFolderName = "sovra-firmware-update";

// The variables the look-up reads; nullopt is "unset".
struct CatalogueSearchEnvironment {
    std::optional<std::string> home;
    std::optional<std::string> xdgConfigHome;
    std::optional<std::string> xdgDataDirs;

    // HOME, XDG_CONFIG_HOME and XDG_DATA_DIRS of this process.
    static CatalogueSearchEnvironment FromProcess();
    // The absolute folders of XDG_DATA_DIRS, in order; its default when
    // unset or empty.
    std::vector<std::string> DataDirs() const;
};

struct CatalogueLocation {
    // The catalogue file; a bare "FirmwareUpdate.xml" for the working folder.
    std::string path;
    // The folder its relative File_Names are read from: the catalogue's own
    // folder, empty for the working folder.
    std::string firmwareFolder;
};

// Every place the look-up tries, in order.
std::vector<std::string> CatalogueSearchPaths(const CatalogueSearchEnvironment& env);

// The first place that exists, or nullopt.
std::optional<CatalogueLocation> LocateCatalogue(
    const CatalogueSearchEnvironment& env = CatalogueSearchEnvironment::FromProcess());

// A catalogue named by the user (a command-line argument).
CatalogueLocation CatalogueLocationOf(const std::string& path);

// The file to open for a File_Name of a catalogue whose firmware folder is
// `firmwareFolder`. The join is textual: an absolute File_Name is used as it
// is, and ".." may lead out of the folder (bundles may share images). That
// is no loss of safety: whoever can write the catalogue can name any file
// already, and the file is only read, and refused unless it is an image.
std::string ResolveFirmwarePath(const std::string& firmwareFolder, const std::string& fileName);

// A catalogue path as messages show it: "./FirmwareUpdate.xml" for a bare
// name, so the reader sees it is the working folder's.
std::string ShownCataloguePath(const std::string& path);

// The look-up's places as one text for messages: "./FirmwareUpdate.xml,
// /home/u/.config/sovra-firmware-update/FirmwareUpdate.xml, ...".
std::string DescribeCatalogueSearch(const CatalogueSearchEnvironment& env);

// One line for the system log saying which catalogue was read and how it
// went, with absolute paths (the log does not know the working folder):
// "Catalogue read: /home/u/FirmwareUpdate.xml.", "Catalogue not read:
// PATH (No such file or directory).", "No catalogue found; looked for
// ...". Control characters show as \xNN and the line stays under
// kCatalogueLogTextMax bytes, however long the paths.
std::string CatalogueLogText(const FirmwareCatalogue& catalogue,
                             const CatalogueSearchEnvironment& env);
inline constexpr std::size_t kCatalogueLogTextMax = 1024;

}  // namespace sovra
