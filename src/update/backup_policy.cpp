#include "update/backup_policy.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "app/files.h"
#include "app/sha256.h"
#include "device/flash_backup.h"
#include "flash/flash_command.h"
#include "flash/image_format.h"

namespace sovra {
namespace {

bool WritableFolder(const std::string& folder, std::string& failure) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) {
        failure = "the folder '" + folder + "' cannot be used: " + ErrnoText(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        failure = "'" + folder + "' is not a folder";
        return false;
    }
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        failure = "the folder '" + folder + "' cannot be written: " + ErrnoText(errno);
        return false;
    }
    return true;
}

// A whole flash from a regular file, or nothing: a backup folder may hold
// anything, and nothing in it may hold the search up.
bool ReadFlashFile(const std::string& path, std::vector<std::uint8_t>& flash) {
    return !ReadRegularFile(path, FlashSize, flash).Failed() && flash.size() == FlashSize;
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
        if (a.modified.tv_sec != b.modified.tv_sec) {
            return a.modified.tv_sec > b.modified.tv_sec;
        }
        if (a.modified.tv_nsec != b.modified.tv_nsec) {
            return a.modified.tv_nsec > b.modified.tv_nsec;
        }
        return a.name > b.name;
    });
    return candidates;
}

}  // namespace

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

std::string DefaultBackupFolder() {
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    std::string folder =
        BackupDirectory(state != nullptr ? state : "", home != nullptr ? home : "");
    if (folder.empty()) {
        folder = BackupDirectory("", PasswordHomeFolder());
    }
    return folder;
}

bool CheckBackupPlace(const BackupPolicy& policy, std::string& failure) {
    failure.clear();
    switch (policy.kind) {
        case BackupPolicy::Kind::kNone:
            return true;
        case BackupPolicy::Kind::kFolder: {
            if (policy.path.empty()) {
                failure =
                    "there is no folder for backups: neither XDG_STATE_HOME nor a home "
                    "folder is known";
                return false;
            }
            std::string error;
            if (!MakeBackupDirectories(policy.path, error)) {
                failure = error;
                if (!failure.empty() && failure.back() == '.') {
                    failure.pop_back();
                }
                return false;
            }
            return WritableFolder(policy.path, failure);
        }
        case BackupPolicy::Kind::kFile: {
            struct stat st {};
            if (policy.path.empty()) {
                failure = "no file was named for the backup";
                return false;
            }
            if (::lstat(policy.path.c_str(), &st) == 0) {
                failure = "'" + policy.path +
                          "' already exists, and a backup never replaces a file (it may be the "
                          "only good copy of a device's flash)";
                return false;
            }
            // Whatever else keeps the name from being made (a name too long
            // for the file system, a path through a file) is found now, not
            // after the whole flash has been read.
            if (errno != ENOENT) {
                failure = "cannot create '" + policy.path + "': " + std::strerror(errno);
                return false;
            }
            return WritableFolder(FolderOf(policy.path), failure);
        }
    }
    return false;
}

bool WriteBackup(const BackupPolicy& policy, const DeviceEntry& device,
                 std::chrono::system_clock::time_point when, std::span<const std::uint8_t> flash,
                 std::string& path, std::string& failure, std::string_view unit) {
    std::string error;
    bool written = false;
    if (policy.kind == BackupPolicy::Kind::kFolder) {
        written = KeepBackup(policy.path, device, when, flash, path, error, unit);
    } else if (policy.kind == BackupPolicy::Kind::kFile) {
        path = policy.path;
        written = WriteNewBackup(path, flash, error);
    } else {
        error = "no backup was asked for.";
    }
    if (!written) {
        failure = error;
        if (!failure.empty() && failure.back() == '.') {
            failure.pop_back();
        }
        path.clear();
    }
    return written;
}

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
        if (!ReadFlashFile(c.path, flash) || CheckFlashContents(flash).status != S_OK) {
            continue;
        }
        if (ownData && DeviceData(flash) != ownData) {
            continue;
        }
        return c.path;
    }
    return {};
}

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
        const bool unit = who.size() == 16 && std::all_of(who.begin(), who.end(), [](char ch) {
                              return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f');
                          });
        std::tm utc{};
        gmtime_r(&c.modified.tv_sec, &utc);
        char time[32];
        std::strftime(time, sizeof time, "%Y-%m-%dT%H:%M:%SZ", &utc);
        found.push_back({c.path, unit ? who : std::string(), time});
    }
    return found;
}

}  // namespace sovra
