#include "update/state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <type_traits>

#include "app/files.h"

namespace sovra {
namespace {

// A line longer than this is no record of ours.
constexpr std::size_t kMaxLine = 64 * 1024;

// A key of the record's kind; an optional one (unit, serial) may be missing
// (older records) or null.
template <class T>
bool Take(const nlohmann::json& j, const char* key, T& out) {
    const auto it = j.find(key);
    if constexpr (std::is_same_v<T, std::optional<std::string>>) {
        if (it == j.end() || it->is_null()) {
            out.reset();
            return true;
        }
    }
    if (it == j.end()) {
        return false;
    }
    if constexpr (std::is_same_v<T, std::uint32_t> || std::is_same_v<T, std::uint64_t>) {
        if (!it->is_number_unsigned() || it->get<std::uint64_t>() > std::numeric_limits<T>::max()) {
            return false;
        }
        out = static_cast<T>(it->get<std::uint64_t>());
    } else {
        if (!it->is_string()) {
            return false;
        }
        out = it->get<std::string>();
    }
    return true;
}

std::string NotRegular(const std::string& path) {
    return "the update history '" + path + "' is not a regular file";
}

nlohmann::json OrNull(const std::optional<std::string>& s) {
    return s ? nlohmann::json(*s) : nlohmann::json();
}

// Opens the history file with `flags`, a regular file only; -1 with `error`
// set otherwise, errno telling why (ENOENT: there is none).
int OpenHistory(const std::string& path, int flags, Error& error) {
    // O_NONBLOCK: a named pipe in the file's place (or a link to one) must
    // not hold the program; it is refused below. Regular files ignore it.
    const int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) {
        const int why = errno;
        // ENXIO: a named pipe nobody reads.
        error = Error(E_FAIL, why == ENXIO ? NotRegular(path)
                                           : "cannot open the update history '" + path +
                                                 "': " + ErrnoText(why));
        errno = why;
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        error = Error(E_FAIL, NotRegular(path));
        errno = EINVAL;
        return -1;
    }
    return fd;
}

}  // namespace

nlohmann::json HistoryJson(const HistoryRecord& r) {
    return {{"time", r.time},
            {"program", r.program},
            {"operation", r.operation},
            {"unit", OrNull(r.unit)},
            {"serial", OrNull(r.serial)},
            {"device",
             {{"path", r.devicePath},
              {"vendor_id", r.vendorId},
              {"product_id", r.productId},
              {"revision", r.revision}}},
            {"firmware",
             {{"path", r.firmwarePath}, {"size", r.firmwareSize}, {"sha256", r.firmwareSha256}}},
            {"result", r.result},
            {"status", r.status},
            {"message", r.message},
            {"device_state", r.deviceState},
            {"backup", r.backup},
            {"signing_key", r.signingKey}};
}

std::optional<HistoryRecord> HistoryFromJson(const nlohmann::json& j) {
    if (!j.is_object()) {
        return std::nullopt;
    }
    HistoryRecord r;
    const auto device = j.find("device");
    const auto firmware = j.find("firmware");
    if (device == j.end() || !device->is_object() || firmware == j.end() ||
        !firmware->is_object()) {
        return std::nullopt;
    }
    const bool ok =
        Take(j, "time", r.time) && Take(j, "program", r.program) &&
        Take(j, "operation", r.operation) && Take(*device, "path", r.devicePath) &&
        Take(*device, "vendor_id", r.vendorId) && Take(*device, "product_id", r.productId) &&
        Take(*device, "revision", r.revision) && Take(*firmware, "path", r.firmwarePath) &&
        Take(*firmware, "size", r.firmwareSize) && Take(*firmware, "sha256", r.firmwareSha256) &&
        Take(j, "result", r.result) && Take(j, "status", r.status) &&
        Take(j, "message", r.message) && Take(j, "device_state", r.deviceState) &&
        Take(j, "backup", r.backup) && Take(j, "unit", r.unit) && Take(j, "serial", r.serial);
    if (!ok) {
        return std::nullopt;
    }
    // Records written before catalogues were signed have none.
    if (j.contains("signing_key") && !Take(j, "signing_key", r.signingKey)) {
        return std::nullopt;
    }
    return r;
}

Error AppendHistory(const std::string& path, const HistoryRecord& record) {
    if (path.empty()) {
        return Error(E_FAIL, "no folder for the update history is known");
    }
    if (Error made = MakeStateFolder(FolderOf(path)); made.Failed()) {
        return made;
    }
    std::string line =
        HistoryJson(record).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    Error error;
    const int fd = OpenHistory(path, O_RDWR | O_APPEND | O_CREAT, error);
    if (fd < 0) {
        return error;
    }
    // A crash in the middle of an earlier write left a line without its
    // end: end it, or this record would be joined to it and lost with it.
    struct stat st {};
    char last = '\n';
    if (::fstat(fd, &st) == 0 && st.st_size > 0 && ::pread(fd, &last, 1, st.st_size - 1) == 1 &&
        last != '\n') {
        line.insert(line.begin(), '\n');
    }
    // One write: with O_APPEND the whole line lands at the end, after any
    // other program's, never inside one.
    ssize_t n = -1;
    do {
        n = ::write(fd, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    const int writeErrno = errno;
    const bool synced = n == static_cast<ssize_t>(line.size()) && ::fdatasync(fd) == 0;
    const int syncErrno = errno;
    ::close(fd);
    if (!synced) {
        return Error(E_FAIL, "cannot write the update history '" + path + "': " +
                                 ErrnoText(n != static_cast<ssize_t>(line.size())
                                               ? (n < 0 ? writeErrno : ENOSPC)
                                               : syncErrno));
    }
    return {};
}

Error ReadHistory(const std::string& path, const std::function<void(HistoryRecord&&)>& each,
                  const std::function<void(const SkippedLine&)>& skip) {
    Error error;
    const int fd = OpenHistory(path, O_RDONLY, error);
    if (fd < 0) {
        // No history yet is an empty one.
        return errno == ENOENT ? Error() : error;
    }
    std::size_t lineNumber = 0;
    std::string line;
    bool tooLong = false;
    const auto finishLine = [&] {
        ++lineNumber;
        if (tooLong) {
            skip({lineNumber, "longer than any record"});
        } else if (!line.empty()) {
            const nlohmann::json j =
                nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
            if (j.is_discarded()) {
                skip({lineNumber, "not JSON"});
            } else if (auto record = HistoryFromJson(j)) {
                each(std::move(*record));
            } else {
                skip({lineNumber, "not an update record"});
            }
        }
        line.clear();
        tooLong = false;
    };
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            error =
                Error(E_FAIL, "cannot read the update history '" + path + "': " + ErrnoText(errno));
            ::close(fd);
            return error;
        }
        if (n == 0) {
            break;
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] == '\n') {
                finishLine();
            } else if (line.size() < kMaxLine) {
                line += buffer[i];
            } else {
                tooLong = true;
            }
        }
    }
    ::close(fd);
    // A last line without its newline was cut short by a crash.
    if (!line.empty() || tooLong) {
        finishLine();
    }
    return {};
}

std::vector<std::string> BackupsOfSerial(const std::string& path, std::uint32_t vendorId,
                                         std::uint32_t productId, const std::string& serial) {
    std::vector<std::string> backups;
    if (serial.empty() || path.empty()) {
        return backups;
    }
    // A history that cannot be read vouches for no backup.
    const Error read = ReadHistory(
        path,
        [&](HistoryRecord&& r) {
            if (r.serial == serial && r.vendorId == vendorId && r.productId == productId &&
                !r.backup.empty()) {
                backups.push_back(std::move(r.backup));
            }
        },
        [](const SkippedLine&) {});
    return read.Failed() ? std::vector<std::string>() : backups;
}

}  // namespace sovra
