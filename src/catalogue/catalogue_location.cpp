#include "catalogue/catalogue_location.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "app/safe_text.h"
#include "catalogue/catalogue.h"

namespace sovra {
namespace {

std::optional<std::string> Variable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

bool IsAbsolute(const std::optional<std::string>& dir) {
    return dir && !dir->empty() && dir->front() == '/';
}

// "<dir>/sovra-firmware-update/FirmwareUpdate.xml", with no doubled slash
// when <dir> ends in one.
std::string InFolder(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/') {
        dir.pop_back();
    }
    if (dir != "/") {
        dir += '/';
    }
    return dir + kCatalogueFolderName + '/' + kCatalogueFileName;
}

// The path with the working folder in front when relative; as it is when
// the working folder cannot be known.
std::string Absolute(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    return ec ? path : absolute.string();
}

// The name is there, whatever it is: a link to nothing, or one that loops,
// is found (and then fails to load, saying so) rather than passed over for
// a catalogue further down whose pins would not be the ones meant.
bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

CatalogueSearchEnvironment CatalogueSearchEnvironment::FromProcess() {
    return {Variable("HOME"), Variable("XDG_CONFIG_HOME"), Variable("XDG_DATA_DIRS")};
}

std::vector<std::string> CatalogueSearchPaths(const CatalogueSearchEnvironment& env) {
    std::vector<std::string> paths{kCatalogueFileName};
    if (IsAbsolute(env.xdgConfigHome)) {
        paths.push_back(InFolder(*env.xdgConfigHome));
    } else if (IsAbsolute(env.home)) {
        paths.push_back(InFolder(*env.home + "/.config"));
    }
    for (const std::string& dir : env.DataDirs()) {
        paths.push_back(InFolder(dir));
    }
    return paths;
}

std::vector<std::string> CatalogueSearchEnvironment::DataDirs() const {
    const std::string dirs =
        xdgDataDirs && !xdgDataDirs->empty() ? *xdgDataDirs : "/usr/local/share:/usr/share";
    std::vector<std::string> folders;
    std::string_view rest = dirs;
    while (!rest.empty()) {
        const std::size_t colon = rest.find(':');
        const std::string_view dir = rest.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        if (!dir.empty() && dir.front() == '/') {
            folders.emplace_back(dir);
        }
    }
    return folders;
}

std::optional<CatalogueLocation> LocateCatalogue(const CatalogueSearchEnvironment& env) {
    for (const std::string& path : CatalogueSearchPaths(env)) {
        if (Exists(path)) {
            return CatalogueLocationOf(path);
        }
    }
    return std::nullopt;
}

CatalogueLocation CatalogueLocationOf(const std::string& path) {
    return {path, std::filesystem::path(path).parent_path().string()};
}

std::string ResolveFirmwarePath(const std::string& firmwareFolder, const std::string& fileName) {
    if (firmwareFolder.empty() || fileName.empty() || fileName.front() == '/') {
        return fileName;
    }
    return (std::filesystem::path(firmwareFolder) / fileName).string();
}

std::string ShownCataloguePath(const std::string& path) {
    return path.find('/') == std::string::npos ? "./" + path : path;
}

std::string DescribeCatalogueSearch(const CatalogueSearchEnvironment& env) {
    std::string text;
    for (const std::string& path : CatalogueSearchPaths(env)) {
        text += (text.empty() ? "" : ", ") + ShownCataloguePath(path);
    }
    return text;
}

std::string CatalogueLogText(const FirmwareCatalogue& catalogue,
                             const CatalogueSearchEnvironment& env) {
    std::string text;
    const std::string path = Absolute(catalogue.Path());
    switch (catalogue.Outcome()) {
        case CatalogueLoad::kComplete:
            text = "Catalogue read: " + path + ".";
            break;
        case CatalogueLoad::kMalformed:
            text =
                "Catalogue read up to an error: " + path + " (" + catalogue.ParseMessage() + ").";
            break;
        case CatalogueLoad::kNotOpened:
        case CatalogueLoad::kUnreadable:
            text = catalogue.Path().empty()
                       ? std::string("No catalogue read.")
                       : "Catalogue not read: " + path + " (" + catalogue.ParseMessage() + ").";
            break;
        case CatalogueLoad::kNotFound: {
            text = "No catalogue found; looked for";
            const char* separator = " ";
            for (const std::string& place : CatalogueSearchPaths(env)) {
                text += separator + Absolute(place);
                separator = ", ";
            }
            text += ".";
            break;
        }
    }
    text = TerminalSafe(text);
    if (text.size() > kCatalogueLogTextMax) {
        text.resize(kCatalogueLogTextMax - 3);
        // Not in the middle of a UTF-8 sequence.
        while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) {
            text.pop_back();
        }
        if (!text.empty() && static_cast<unsigned char>(text.back()) >= 0xC0) {
            text.pop_back();
        }
        text += "...";
    }
    return text;
}

}  // namespace sovra
