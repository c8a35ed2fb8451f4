#include "device/flash_backup.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "app/files.h"
#include "device/device_control.h"

namespace sovra {
namespace {}  // namespace

std::string BackupDirectory(std::string_view stateHome, std::string_view home) {
    constexpr std::string_view kTail = "/sovra-firmware-update/backups";
    if (stateHome.starts_with('/')) {
        return std::string(stateHome) + std::string(kTail);
    }
    if (home.starts_with('/')) {
        return std::string(home) + "/.local/state" + std::string(kTail);
    }
    return {};
}

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

bool MakeBackupDirectories(const std::string& directory, std::string& error) {
    if (directory.empty()) {
        error = "no folder for backups.";
        return false;
    }
    std::size_t at = 0;
    while (at != std::string::npos) {
        at = directory.find('/', at + 1);
        const std::string part = directory.substr(0, at);
        if (part.empty()) {
            continue;
        }
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot create the folder '" + part + "': " + ErrnoText(errno) + ".";
            return false;
        }
    }
    struct stat st {};
    if (::stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = "'" + directory + "' is not a folder.";
        return false;
    }
    return true;
}

bool WriteNewBackup(std::string& path, std::span<const std::uint8_t> flash, std::string& error) {
    const Error e = WriteNewFile(path, flash);
    if (e.Failed()) {
        error = e.What() + ".";
    }
    return !e.Failed();
}

bool KeepBackup(const std::string& directory, const DeviceEntry& device,
                std::chrono::system_clock::time_point when, std::span<const std::uint8_t> flash,
                std::string& path, std::string& error, std::string_view unit) {
    if (!MakeBackupDirectories(directory, error)) {
        return false;
    }
    path = directory + "/" + BackupFileName(device, when, unit);
    return WriteNewBackup(path, flash, error);
}

}  // namespace sovra
