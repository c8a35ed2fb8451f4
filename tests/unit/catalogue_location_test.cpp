#include "catalogue/catalogue_location.h"

#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

namespace sovra {
namespace {

namespace fs = std::filesystem;

// A fresh folder tree, removed whole; the test runs with its "work" folder
// as the working folder.
class LookupTree {
  public:
    // `relative` under the root, with its folders made.
    std::string Write(const std::string& relative, const std::string& text = "<Device_list/>") {
        return root_.Write(relative, text);
    }
    std::string Path(const std::string& relative) const { return root_.File(relative); }

  private:
    testing::TempDir root_{"sovra-lookup"};
    testing::ScopedWorkingFolder cwd_{root_.MakeFolder("work")};
};

constexpr const char* kIn = "sovra-firmware-update/FirmwareUpdate.xml";

struct LookupCase {
    const char* name;
    std::vector<std::string> files;  // under the root; "work/..." is the working folder
    std::optional<std::string> home, configHome, dataDirs;  // "@" stands for the root
    std::optional<std::string> expected;                    // under the root; bare: working folder
    std::vector<std::pair<std::string, std::string>> links = {};  // name under the root, target
};

std::optional<std::string> Rooted(const std::optional<std::string>& text, const std::string& root) {
    if (!text) {
        return std::nullopt;
    }
    std::string out;
    for (const char c : *text) {
        out += c == '@' ? root : std::string(1, c);
    }
    return out;
}

TEST(CatalogueLocationTest, LooksInTheWorkingFolderThenConfigThenEachDataFolder) {
    const std::string cfg = std::string("cfg/") + kIn;
    const std::string homeCfg = std::string("home/.config/") + kIn;
    const std::string d1 = std::string("d1/") + kIn;
    const std::string d2 = std::string("d2/") + kIn;
    const LookupCase cases[] = {
        {"working folder first",
         {"work/FirmwareUpdate.xml", cfg, d1},
         "@/home",
         "@/cfg",
         "@/d1:@/d2",
         "FirmwareUpdate.xml"},
        {"then XDG_CONFIG_HOME", {cfg, homeCfg, d1}, "@/home", "@/cfg", "@/d1", cfg},
        {"XDG_CONFIG_HOME unset: HOME/.config",
         {homeCfg, d1},
         "@/home",
         std::nullopt,
         "@/d1",
         homeCfg},
        {"XDG_CONFIG_HOME relative: ignored", {homeCfg}, "@/home", "cfg", "@/d1", homeCfg},
        {"data folders in their order", {d1, d2}, "@/home", "@/cfg", "@/d2:@/d1", d2},
        {"empty and relative data folders skipped",
         {d1, d2},
         std::nullopt,
         std::nullopt,
         ":../d1:@/nowhere/:@/d2/",
         d2},
        {"a folder of that name is taken too",
         {"d1/sovra-firmware-update/FirmwareUpdate.xml/x"},
         std::nullopt,
         std::nullopt,
         "@/d1:@/d2",
         d1},
        {"nothing anywhere", {"d1/other.xml"}, "@/home", "@/cfg", "@/d1", std::nullopt},
        // The first name found is the catalogue, even one that cannot be read.
        {"a link to nothing is found",
         {d1},
         std::nullopt,
         std::nullopt,
         "@/d1",
         "FirmwareUpdate.xml",
         {{"work/FirmwareUpdate.xml", "missing.xml"}}},
        {"a link that loops is found",
         {d1},
         std::nullopt,
         std::nullopt,
         "@/d1",
         "FirmwareUpdate.xml",
         {{"work/FirmwareUpdate.xml", "FirmwareUpdate.xml"}}},
    };
    for (const LookupCase& c : cases) {
        SCOPED_TRACE(c.name);
        LookupTree tree;
        for (const std::string& f : c.files) {
            tree.Write(f);
        }
        for (const auto& [name, target] : c.links) {
            fs::create_symlink(target, tree.Path(name));
        }
        const std::string root = tree.Path("");
        const std::string rootNoSlash = root.substr(0, root.size() - 1);
        const CatalogueSearchEnvironment env{Rooted(c.home, rootNoSlash),
                                             Rooted(c.configHome, rootNoSlash),
                                             Rooted(c.dataDirs, rootNoSlash)};
        const std::optional<CatalogueLocation> found = LocateCatalogue(env);
        if (!c.expected) {
            EXPECT_FALSE(found) << found->path;
            continue;
        }
        ASSERT_TRUE(found);
        if (*c.expected == "FirmwareUpdate.xml") {
            EXPECT_EQ(found->path, "FirmwareUpdate.xml");
            EXPECT_EQ(found->firmwareFolder, "");
        } else {
            EXPECT_EQ(found->path, tree.Path(*c.expected));
            EXPECT_EQ(found->firmwareFolder, fs::path(tree.Path(*c.expected)).parent_path());
        }
    }
}

TEST(CatalogueLocationTest, DefaultsWhenVariablesAreUnset) {
    const struct {
        const char* name;
        CatalogueSearchEnvironment env;
        std::vector<std::string> paths;
    } cases[] = {
        {"all unset but HOME",
         {"/h", std::nullopt, std::nullopt},
         {"FirmwareUpdate.xml", "/h/.config/sovra-firmware-update/FirmwareUpdate.xml",
          "/usr/local/share/sovra-firmware-update/FirmwareUpdate.xml",
          "/usr/share/sovra-firmware-update/FirmwareUpdate.xml"}},
        {"no HOME, empty variables",
         {std::nullopt, "", ""},
         {"FirmwareUpdate.xml", "/usr/local/share/sovra-firmware-update/FirmwareUpdate.xml",
          "/usr/share/sovra-firmware-update/FirmwareUpdate.xml"}},
        {"set ones win, trailing slashes dropped",
         {"/h", "/c/", "/"},
         {"FirmwareUpdate.xml", "/c/sovra-firmware-update/FirmwareUpdate.xml",
          "/sovra-firmware-update/FirmwareUpdate.xml"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CatalogueSearchPaths(c.env), c.paths) << c.name;
    }
    EXPECT_EQ(DescribeCatalogueSearch({std::nullopt, "/c", "/d"}),
              "./FirmwareUpdate.xml, /c/sovra-firmware-update/FirmwareUpdate.xml, "
              "/d/sovra-firmware-update/FirmwareUpdate.xml");
}

TEST(CatalogueLocationTest, FileNamesAreReadFromTheCataloguesFolder) {
    const struct {
        const char* folder;
        const char* fileName;
        const char* expected;
    } cases[] = {
        {"", "a.img", "a.img"},  // the working folder's catalogue: as written
        {"/b/c", "a.img", "/b/c/a.img"},
        {"/b/c", "sub/a.img", "/b/c/sub/a.img"},
        {"/b/c", "/abs/a.img", "/abs/a.img"},
        {"/b/c", "../shared/a.img", "/b/c/../shared/a.img"},
        {"bundle", "a.img", "bundle/a.img"},
        {"/", "a.img", "/a.img"},
        {"/b/c", "", ""},  // stays a name that cannot be opened, not the folder
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ResolveFirmwarePath(c.folder, c.fileName), c.expected)
            << c.folder << " + " << c.fileName;
    }
    EXPECT_EQ(CatalogueLocationOf("FirmwareUpdate.xml").firmwareFolder, "");
    EXPECT_EQ(CatalogueLocationOf("b/FirmwareUpdate.xml").firmwareFolder, "b");
}

// The desktop application's system-log line: absolute paths, one line, bounded.
TEST(CatalogueLocationTest, LogTextSaysWhichCatalogueWasRead) {
    LookupTree tree;
    const std::string work = tree.Path("work");
    tree.Write("work/cat.xml");
    tree.Write("work/bad.xml", "<Device_list><Device");
    const std::string longName(2000, 'n');
    const CatalogueSearchEnvironment env{std::nullopt, "/c", "/d"};
    ASSERT_EQ(::setenv("XDG_CONFIG_HOME", "/c", 1), 0);
    ASSERT_EQ(::setenv("XDG_DATA_DIRS", "/d", 1), 0);
    const struct {
        const char* name;
        FirmwareCatalogue catalogue;
        std::string text;
    } cases[] = {
        {"read", FirmwareCatalogue::LoadFrom("cat.xml"), "Catalogue read: " + work + "/cat.xml."},
        {"malformed", FirmwareCatalogue::LoadFrom("bad.xml"),
         "Catalogue read up to an error: " + work +
             "/bad.xml (Error parsing start element tag at offset 19)."},
        {"missing", FirmwareCatalogue::LoadFrom("/x/a\nb.xml"),
         "Catalogue not read: /x/a\\x0ab.xml (No such file or directory)."},
        {"none found", FirmwareCatalogue::LoadDefault(),
         "No catalogue found; looked for " + work +
             "/FirmwareUpdate.xml, /c/sovra-firmware-update/FirmwareUpdate.xml, "
             "/d/sovra-firmware-update/FirmwareUpdate.xml."},
        {"too long", FirmwareCatalogue::LoadFrom("/" + longName),
         "Catalogue not read: /" + longName.substr(0, kCatalogueLogTextMax - 24) + "..."},
    };
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("XDG_DATA_DIRS");
    for (const auto& c : cases) {
        EXPECT_EQ(CatalogueLogText(c.catalogue, env), c.text) << c.name;
    }
}

// What both programs get from LoadDefault: the catalogue the look-up found,
// with its rows' files beside it.
TEST(CatalogueLocationTest, LoadDefaultReadsTheFoundCatalogueAndResolvesItsFiles) {
    LookupTree tree;
    const std::string catalogue = tree.Write(
        std::string("cfg/") + kIn, R"(<Device_list><Device File_Name="fw.img" REV="1"/>)"
                                   R"(<Device File_Name="/abs/x.img" REV="2"/></Device_list>)");
    ASSERT_EQ(::setenv("XDG_CONFIG_HOME", tree.Path("cfg").c_str(), 1), 0);
    ASSERT_EQ(::setenv("XDG_DATA_DIRS", tree.Path("none").c_str(), 1), 0);
    const FirmwareCatalogue found = FirmwareCatalogue::LoadDefault();
    EXPECT_EQ(found.Path(), catalogue);
    const std::vector<FirmwareChoice> choices = FirmwareChoices(found);
    ASSERT_EQ(choices.size(), 2u);
    EXPECT_EQ(choices[0].entry->fileName, "fw.img");
    EXPECT_EQ(choices[0].entry->path, tree.Path("cfg/sovra-firmware-update/fw.img"));
    EXPECT_EQ(choices[1].entry->path, "/abs/x.img");

    ASSERT_EQ(::setenv("XDG_CONFIG_HOME", tree.Path("empty").c_str(), 1), 0);
    const FirmwareCatalogue none = FirmwareCatalogue::LoadDefault();
    EXPECT_EQ(none.Outcome(), CatalogueLoad::kNotFound);
    EXPECT_EQ(none.Path(), "");
    EXPECT_TRUE(FirmwareChoices(none).empty());
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("XDG_DATA_DIRS");
}

}  // namespace
}  // namespace sovra
