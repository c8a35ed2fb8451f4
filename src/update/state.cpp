#include "update/state.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <tuple>

#include "app/files.h"
#include "app/sha256.h"
#include "device/device_control.h"
#include "flash/flash_command.h"
#include "flash/image_format.h"

namespace sovra {
namespace {

// The user's home folder from the password database; empty when it has
// none or it cannot be looked up.
std::string PasswordHomeFolder() {
    long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::size_t size = hint > 0 ? static_cast<std::size_t>(hint) : 4096;
    // ERANGE: the entry does not fit; grow the buffer, within reason.
    for (; size <= (std::size_t{1} << 20); size *= 2) {
        std::vector<char> buffer(size);
        struct passwd entry {};
        struct passwd* found = nullptr;
        const int err = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found);
        if (err == ERANGE) {
            continue;
        }
        if (err != 0 || found == nullptr || found->pw_dir == nullptr) {
            return {};
        }
        return found->pw_dir;
    }
    return {};
}

std::string UnderStateFolder(const char* name) {
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    std::string folder = StateFolder(state != nullptr ? state : "", home != nullptr ? home : "");
    if (folder.empty()) {
        folder = StateFolder("", PasswordHomeFolder());
    }
    return folder.empty() ? folder : folder + "/" + name;
}

Error WritableFolder(const std::string& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) {
        return Error(E_BACKUP_FAILED,
                     "the folder '" + folder + "' cannot be used: " + ErrnoText(errno));
    }
    if (!S_ISDIR(st.st_mode)) {
        return Error(E_BACKUP_FAILED, "'" + folder + "' is not a folder");
    }
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        return Error(E_BACKUP_FAILED,
                     "the folder '" + folder + "' cannot be written: " + ErrnoText(errno));
    }
    return {};
}

struct Candidate {
    std::string path;
    std::string name;
    struct timespec modified {};
};

// The whole-flash-sized regular files named *.bin in `folders`, newest
// first, leaving out `exclude`.
std::vector<Candidate> BackupFiles(const std::vector<std::string>& folders,
                                   const std::string& exclude) {
    std::vector<Candidate> candidates;
    for (const std::string& folder : folders) {
        DIR* dir = ::opendir(folder.c_str());
        if (dir == nullptr) {
            continue;
        }
        while (const dirent* e = ::readdir(dir)) {
            const std::string entry = e->d_name;
            if (entry.size() < 5 || !entry.ends_with(".bin")) {
                continue;
            }
            Candidate c{folder + "/" + entry, entry, {}};
            struct stat st {};
            if (::stat(c.path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
                st.st_size != FlashSize || (!exclude.empty() && c.path == exclude)) {
                continue;
            }
            c.modified = st.st_mtim;
            candidates.push_back(std::move(c));
        }
        ::closedir(dir);
    }
    std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        return std::tie(b.modified.tv_sec, b.modified.tv_nsec, b.name) <
               std::tie(a.modified.tv_sec, a.modified.tv_nsec, a.name);
    });
    return candidates;
}

// The newest valid backup in `folders` of the device whose flash now reads
// `readBack`, leaving out `exclude`. Only a backup provably the device's own
// counts: its device-info block holds the same device data as the
// read-back's (a unit keeps its own data across updates), or, when the
// read-back has none (a half-written flash), it is one of `sameSerial`, kept
// from a unit with the device's USB serial number. A bus and address prove
// nothing: on a fixed port they are the last unit's.
std::string NewestValidBackup(const std::vector<std::string>& folders,
                              std::span<const std::uint8_t> readBack, const std::string& exclude,
                              const std::vector<std::string>& sameSerial) {
    const auto ownData = DeviceData(readBack);
    if (!ownData && sameSerial.empty()) {
        return {};
    }
    const std::vector<Candidate> candidates = BackupFiles(folders, exclude);
    // Each look costs a 256 KiB read; a folder of thousands of backups is
    // searched from its newest end only.
    constexpr std::size_t kMaxLooks = 200;
    std::vector<std::uint8_t> flash;
    for (std::size_t i = 0; i < candidates.size() && i < kMaxLooks; ++i) {
        const Candidate& c = candidates[i];
        if (!ownData &&
            std::find(sameSerial.begin(), sameSerial.end(), c.path) == sameSerial.end()) {
            continue;
        }
        // Regular files only: a backup folder may hold anything, and
        // nothing in it may hold the search up.
        if (std::string error; !ReadRegularFile(c.path, FlashSize, flash, error) ||
                               flash.size() != FlashSize ||
                               CheckFlashContents(flash).status != S_OK) {
            continue;
        }
        if (ownData && DeviceData(flash) != ownData) {
            continue;
        }
        return c.path;
    }
    return {};
}

// The backups whose names say they were kept from a device of this model.
std::vector<ModelBackup> ModelBackups(const std::vector<std::string>& folders,
                                      const DeviceEntry& device, std::size_t max) {
    // "vvvv-pppp-WHO-...", WHO a unit or "busBBB"; the time the file was
    // written, which a copy keeps (cp -p) and a rename does not change.
    const std::string model = IdText(device.vendorId) + "-" + IdText(device.productId) + "-";
    std::vector<ModelBackup> found;
    for (const Candidate& c : BackupFiles(folders, {})) {
        if (found.size() == max) {
            break;
        }
        if (!c.name.starts_with(model)) {
            continue;
        }
        const std::string who =
            c.name.substr(model.size(), c.name.find('-', model.size()) - model.size());
        const bool unit =
            who.size() == 16 && who.find_first_not_of("0123456789abcdef") == std::string::npos;
        std::tm utc{};
        gmtime_r(&c.modified.tv_sec, &utc);
        char time[32];
        std::strftime(time, sizeof time, "%Y-%m-%dT%H:%M:%SZ", &utc);
        found.push_back({c.path, unit ? who : std::string(), time});
    }
    return found;
}

}  // namespace

std::string StateFolder(std::string_view stateHome, std::string_view home) {
    constexpr std::string_view kName = "/sovra-firmware-update";
    if (stateHome.starts_with('/')) {
        return std::string(stateHome) + std::string(kName);
    }
    if (home.starts_with('/')) {
        return std::string(home) + "/.local/state" + std::string(kName);
    }
    return {};
}

std::string DefaultBackupFolder() {
    return UnderStateFolder("backups");
}

std::string DefaultHistoryPath() {
    return UnderStateFolder("history.jsonl");
}

Error MakeStateFolder(const std::string& folder) {
    if (folder.empty()) {
        return Error(E_BACKUP_FAILED, "no folder for backups");
    }
    for (std::size_t at = folder.find('/', 1);; at = folder.find('/', at + 1)) {
        const std::string part = folder.substr(0, at);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            return Error(E_BACKUP_FAILED,
                         "cannot create the folder '" + part + "': " + ErrnoText(errno));
        }
        if (at == std::string::npos) {
            break;
        }
    }
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return Error(E_BACKUP_FAILED, "'" + folder + "' is not a folder");
    }
    return {};
}

std::string BackupFileName(const DeviceEntry& device, std::chrono::system_clock::time_point when,
                           std::string_view unit) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    std::string where = "node";
    if (!unit.empty()) {
        where = unit;
    } else if (const auto node = ParseUsbDeviceNode(device.path)) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "bus%03u-dev%03u", static_cast<unsigned>(node->bus),
                      static_cast<unsigned>(node->address));
        where = buf;
    }
    return IdText(device.vendorId) + "-" + IdText(device.productId) + "-" + where + "-" + stamp +
           ".bin";
}

Error CheckBackupPlace(const BackupPolicy& policy) {
    switch (policy.kind) {
        case BackupPolicy::Kind::kNone:
            return {};
        case BackupPolicy::Kind::kFolder: {
            if (policy.path.empty()) {
                return Error(E_BACKUP_FAILED,
                             "there is no folder for backups: neither XDG_STATE_HOME nor a home "
                             "folder is known");
            }
            Error made = MakeStateFolder(policy.path);
            return made.Failed() ? made : WritableFolder(policy.path);
        }
        case BackupPolicy::Kind::kFile: {
            struct stat st {};
            if (policy.path.empty()) {
                return Error(E_BACKUP_FAILED, "no file was named for the backup");
            }
            if (::lstat(policy.path.c_str(), &st) == 0) {
                return Error(E_BACKUP_FAILED,
                             "'" + policy.path +
                                 "' already exists, and a backup never replaces a file (it may "
                                 "be the only good copy of a device's flash)");
            }
            // Whatever else keeps the name from being made (a name too long
            // for the file system, a path through a file) is found now, not
            // after the whole flash has been read.
            if (errno != ENOENT) {
                return Error(E_BACKUP_FAILED,
                             "cannot create '" + policy.path + "': " + ErrnoText(errno));
            }
            return WritableFolder(FolderOf(policy.path));
        }
    }
    return Error(E_BACKUP_FAILED);
}

Error WriteBackup(const BackupPolicy& policy, const DeviceEntry& device,
                  std::chrono::system_clock::time_point when, std::span<const std::uint8_t> flash,
                  std::string& path, std::string_view unit) {
    path.clear();
    if (policy.kind == BackupPolicy::Kind::kNone) {
        return Error(E_BACKUP_FAILED, "no backup was asked for");
    }
    std::string written = policy.path;
    if (policy.kind == BackupPolicy::Kind::kFolder) {
        if (Error made = MakeStateFolder(policy.path); made.Failed()) {
            return made;
        }
        written += "/" + BackupFileName(device, when, unit);
    }
    if (std::string error; !WriteNewFile(written, flash, error)) {
        return Error(E_BACKUP_FAILED, AsClause(error));
    }
    path = written;
    return {};
}

std::optional<std::vector<std::uint8_t>> DeviceData(std::span<const std::uint8_t> flash) {
    const auto record = FindDeviceInfo(flash);
    if (!record) {
        return std::nullopt;
    }
    const auto block = DeviceInfoBlock(flash, *record);
    return std::vector<std::uint8_t>(block.begin(), block.begin() + 128);
}

std::string UnitFingerprint(std::span<const std::uint8_t> flash) {
    const auto data = DeviceData(flash);
    return data ? Sha256Hex(Sha256(*data)).substr(0, 16) : std::string();
}

void FindEarlierBackups(BackupOutcome& backup, const DeviceEntry& device,
                        std::span<const std::uint8_t> readBack, const std::string& unit,
                        const std::string& historyPath) {
    std::vector<std::string> folders{FolderOf(backup.path)};
    if (const std::string fallback = DefaultBackupFolder();
        !fallback.empty() && fallback != folders.front()) {
        folders.push_back(fallback);
    }
    backup.restoreFrom = NewestValidBackup(
        folders, readBack, backup.path,
        BackupsOfSerial(historyPath, device.vendorId, device.productId, device.serial));
    backup.unitUnknown = unit.empty() && device.serial.empty();
    if (backup.unitUnknown) {
        constexpr std::size_t kShown = 10;
        backup.modelBackups = ModelBackups(folders, device, kShown);
    }
}

}  // namespace sovra
