#include "cli/backup.h"

#include <cstdlib>

#include "cli/io.h"

namespace sovra::cli {

std::string DefaultBackupDirectory() {
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    return BackupDirectory(state != nullptr ? state : "", home != nullptr ? home : "");
}

bool MakeDirectories(const std::string& directory, std::string& error) {
    if (directory.empty()) {
        error = "no folder for backups: neither XDG_STATE_HOME nor HOME is set.";
        return false;
    }
    return MakeBackupDirectories(directory, error);
}

bool WriteBackup(std::string& path, std::span<const std::uint8_t> flash, bool mayReplace,
                 std::string& error) {
    if (mayReplace) {
        return WriteFileAtomically(path, flash.data(), flash.size(), error);
    }
    return WriteNewBackup(path, flash, error);
}

}  // namespace sovra::cli
