#include "app/files.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <optional>

namespace sovra {
namespace {

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { Close(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }
    // Closes now; false (errno set) when the close reports a failed write.
    bool Close() {
        if (fd_ < 0) {
            return true;
        }
        const int rc = ::close(fd_);
        fd_ = -1;
        return rc == 0;
    }

  private:
    int fd_;
};

// "cannot write 'x': reason"; errno is passed in by value, read before
// anything else can change it.
Error Cannot(const char* verb, const std::string& shown, int err) {
    return Error(E_FAIL, std::string("cannot ") + verb + " " + shown + ": " + ErrnoText(err));
}

Error Refused(std::string what) {
    return Error(E_FAIL, std::move(what));
}

// What a file that is not a regular file is, for messages.
const char* KindOf(mode_t mode) {
    if (S_ISDIR(mode)) {
        return "a folder";
    }
    if (S_ISFIFO(mode)) {
        return "a named pipe";
    }
    if (S_ISCHR(mode)) {
        return "a character device";
    }
    if (S_ISBLK(mode)) {
        return "a block device";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    if (S_ISLNK(mode)) {
        return "a symbolic link";
    }
    return "not a regular file";
}

// The folder part of a path ("." for a bare name) and the name in it; the
// name is empty when the path ends in a slash.
struct PathParts {
    std::string folder;
    std::string prefix;  // the folder as written in front of the name, "" or ending in '/'
    std::string name;
};

PathParts Split(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return {".", "", path};
    }
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(0, slash + 1),
            path.substr(slash + 1)};
}

bool WriteAll(int fd, std::span<const std::uint8_t> data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// A fixed-length temporary name, so that the longest legal output name can
// still be written: a suffix on the output's own name could pass the 255-byte
// limit on names. Random, so that two writers in one folder do not meet.
std::string TemporaryName() {
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::uint8_t noise[10] = {};
    if (::getrandom(noise, sizeof noise, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof noise)) {
        // No entropy yet (very early boot): a counter and the clock still
        // differ between attempts, and O_EXCL settles any collision.
        static std::atomic<std::uint64_t> counter{0};
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        std::uint64_t x = counter.fetch_add(1) ^ static_cast<std::uint64_t>(now.tv_nsec) ^
                          (static_cast<std::uint64_t>(::getpid()) << 32);
        for (std::uint8_t& b : noise) {
            x = x * 6364136223846793005ULL + 1442695040888963407ULL;
            b = static_cast<std::uint8_t>(x >> 56);
        }
    }
    std::string name = ".sovra-";
    for (const std::uint8_t b : noise) {
        name += kAlphabet[b % (sizeof kAlphabet - 1)];
    }
    return name;
}

// Creates a new temporary file in the folder `dirFd`; -1 with errno set when
// none could be made.
int OpenTemporary(int dirFd, mode_t mode, std::string& name) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = TemporaryName();
        const int fd = ::openat(dirFd, name.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

// What writing an output means, once symbolic links are followed.
// What a replaced file keeps: its permission bits and, where the system
// lets us give it (we are root, or it is ours), its owner.
struct Kept {
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
};

struct OutputTarget {
    enum Kind { kNew, kReplace, kDirect } kind = kNew;
    std::string file;  // the file itself: for a link, the file it points to
    Kept kept;         // for kReplace
};

Kept KeptOf(const struct stat& st) {
    return {static_cast<mode_t>(st.st_mode & 0777), st.st_uid, st.st_gid};
}

// The real path of an open file, through /proc: the kernel has followed the
// links with its own protections (a link planted in a shared folder such as
// /tmp is not followed for another user), which a readlink() walk of our own
// would bypass.
bool RealPath(int fd, std::string& real) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(self.c_str(), buf, sizeof buf);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf || buf[0] != '/') {
        return false;
    }
    real.assign(buf, static_cast<std::size_t>(n));
    return true;
}

Error ResolveOutput(const std::string& path, OutputTarget& target) {
    const std::string shown = Quoted(path);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            return Cannot("write", shown, errno);
        }
        target = {OutputTarget::kNew, path, {}};
    } else if (S_ISLNK(st.st_mode)) {
        const Fd fd(::open(path.c_str(), O_PATH | O_CLOEXEC));
        if (!fd.ok() || ::fstat(fd.get(), &st) != 0) {
            if (errno != ENOENT) {
                return Cannot("follow the symbolic link", shown, errno);
            }
            return Refused(shown +
                           " is a symbolic link to a file that does not exist; create that file "
                           "first or choose another output");
        }
        target = {OutputTarget::kReplace, path, KeptOf(st)};
        if (S_ISREG(st.st_mode) && !RealPath(fd.get(), target.file)) {
            return Refused("cannot follow the symbolic link " + shown +
                           ": the file it points to cannot be named");
        }
    } else {
        target = {OutputTarget::kReplace, path, KeptOf(st)};
    }
    if (target.kind == OutputTarget::kReplace) {
        if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) {
            target.kind = OutputTarget::kDirect;
            target.file = path;
        } else if (!S_ISREG(st.st_mode)) {
            return Refused(shown + " is " + KindOf(st.st_mode) +
                           "; an output must be a file, a character device or a named pipe");
        }
    }
    if (Split(target.file).name.empty()) {
        return Refused(shown + " ends in '/'; name a file to write");
    }
    return {};
}

Error WriteDirect(const std::string& path, std::span<const std::uint8_t> data) {
    const std::string shown = Quoted(path);
    // Non-blocking open: a named pipe nobody reads is refused at once
    // instead of holding the program forever.
    Fd fd(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.ok()) {
        return errno == ENXIO
                   ? Refused(shown + " is a named pipe that nobody reads; start its reader first")
                   : Cannot("write", shown, errno);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !(S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode))) {
        return Refused("cannot write " + shown + ": it changed while it was opened");
    }
    // Once open, writes wait for the reader as usual.
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0 ||
        !WriteAll(fd.get(), data) || !fd.Close()) {
        return Cannot("write", shown, errno);
    }
    return {};
}

// Writes a complete temporary file in `dirFd` and hands its name to
// `install` (which returns an Error); the temporary file is gone afterwards
// whatever happened.
template <typename Install>
Error WriteThroughTemporary(int dirFd, const char* verb, const std::string& shown,
                            mode_t createMode, std::optional<Kept> keep,
                            std::span<const std::uint8_t> data, Install install) {
    std::string tmp;
    Fd fd(OpenTemporary(dirFd, createMode, tmp));
    if (!fd.ok()) {
        return Cannot(verb, shown, errno);
    }
    if (keep) {
        // Refused unless we are root or the owner already: then the file
        // simply becomes ours, as any new file would.
        (void)!::fchown(fd.get(), keep->uid, keep->gid);
    }
    const bool written = WriteAll(fd.get(), data) &&
                         (!keep || ::fchmod(fd.get(), keep->mode) == 0) && ::fsync(fd.get()) == 0 &&
                         fd.Close();
    const Error error = written ? install(tmp) : Cannot(verb, shown, errno);
    fd.Close();
    ::unlinkat(dirFd, tmp.c_str(), 0);
    if (!error.Failed()) {
        // The file is in place; a folder that cannot be synced (some file
        // systems refuse) does not make the write a failure.
        ::fsync(dirFd);
    }
    return error;
}

int OpenFolder(const std::string& folder) {
    return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

}  // namespace

ReadFailure ReadRegularFileWithReason(const std::string& path, std::size_t maxBytes,
                                      std::vector<std::uint8_t>& out, std::string& reason) {
    out.clear();
    // Looked at before it is opened: opening a device can have effects of
    // its own, and a named pipe must never be waited on.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        reason = ErrnoText(errno);
        return ReadFailure::kOpen;
    }
    if (!S_ISREG(st.st_mode)) {
        reason = KindOf(st.st_mode);
        return ReadFailure::kNotRegular;
    }
    const Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd.ok()) {
        reason = ErrnoText(errno);
        return ReadFailure::kOpen;
    }
    if (::fstat(fd.get(), &st) != 0) {
        reason = ErrnoText(errno);
        return ReadFailure::kRead;
    }
    // It may have been swapped for something else since the stat().
    if (!S_ISREG(st.st_mode)) {
        reason = KindOf(st.st_mode);
        return ReadFailure::kNotRegular;
    }
    const std::size_t limit = maxBytes < SIZE_MAX ? maxBytes : SIZE_MAX - 1;
    const auto tooLarge = [&] {
        reason = "larger than " + std::to_string(limit) + " bytes";
        return ReadFailure::kTooLarge;
    };
    if (st.st_size < 0 || static_cast<std::uint64_t>(st.st_size) > limit) {
        return tooLarge();
    }
    // One byte more than the length, so growth and the end are both seen;
    // never more than one byte past the limit.
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(st.st_size) + 1);
    std::size_t got = 0;
    for (;;) {
        if (got == buffer.size()) {
            if (got > limit) {
                return tooLarge();
            }
            buffer.resize(buffer.size() <= (limit + 1) / 2 ? 2 * buffer.size() : limit + 1);
        }
        const ssize_t n = ::read(fd.get(), buffer.data() + got, buffer.size() - got);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            reason = ErrnoText(errno);
            return ReadFailure::kRead;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    if (got > limit) {
        return tooLarge();
    }
    buffer.resize(got);
    out = std::move(buffer);
    return ReadFailure::kNone;
}

Error ReadRegularFile(const std::string& path, std::size_t maxBytes,
                      std::vector<std::uint8_t>& out) {
    std::string reason;
    switch (ReadRegularFileWithReason(path, maxBytes, out, reason)) {
        case ReadFailure::kNone:
            return {};
        case ReadFailure::kOpen:
            return Refused("cannot open " + Quoted(path) + ": " + reason);
        case ReadFailure::kNotRegular:
            return Refused(Quoted(path) + " is " + reason + ", not a regular file");
        case ReadFailure::kTooLarge:
            return Refused(Quoted(path) + " is " + reason);
        case ReadFailure::kRead:
            break;
    }
    return Refused("cannot read " + Quoted(path) + ": " + reason);
}

Error WriteFileAtomically(const std::string& path, std::span<const std::uint8_t> data) {
    OutputTarget target;
    if (Error e = ResolveOutput(path, target); e.Failed()) {
        return e;
    }
    if (target.kind == OutputTarget::kDirect) {
        return WriteDirect(path, data);
    }
    const std::string shown = Quoted(path);
    const bool replacing = target.kind == OutputTarget::kReplace;
    const char* verb = replacing ? "write" : "create";
    const PathParts parts = Split(target.file);
    const Fd dir(OpenFolder(parts.folder));
    if (!dir.ok()) {
        return Cannot(verb, shown, errno);
    }
    // A new file is created with 0666 and the umask applies, as for any
    // program's output; a replaced one keeps its bits.
    return WriteThroughTemporary(dir.get(), verb, shown, replacing ? 0600 : 0666,
                                 replacing ? std::optional<Kept>(target.kept) : std::nullopt, data,
                                 [&](const std::string& tmp) {
                                     return ::renameat(dir.get(), tmp.c_str(), dir.get(),
                                                       parts.name.c_str()) == 0
                                                ? Error()
                                                : Cannot(verb, shown, errno);
                                 });
}

Error WriteNewFile(std::string& path, std::span<const std::uint8_t> data) {
    const PathParts parts = Split(path);
    const std::string shown = Quoted(path);
    if (parts.name.empty()) {
        return Refused(shown + " ends in '/'; name a file to write");
    }
    const Fd dir(OpenFolder(parts.folder));
    if (!dir.ok()) {
        return Cannot("create", shown, errno);
    }
    const bool bin = parts.name.size() > 4 && parts.name.ends_with(".bin");
    const std::string stem = bin ? parts.name.substr(0, parts.name.size() - 4) : parts.name;
    const std::string suffix = bin ? ".bin" : "";
    // Linked in rather than renamed: link() never replaces a file, so no
    // moment exists in which an older file of that name is lost or a
    // half-written one can be seen.
    return WriteThroughTemporary(
        dir.get(), "create", shown, 0600, std::nullopt, data, [&](const std::string& tmp) {
            for (int attempt = 0; attempt < 1000; ++attempt) {
                const std::string name =
                    attempt == 0 ? parts.name : stem + "-" + std::to_string(attempt) + suffix;
                if (::linkat(dir.get(), tmp.c_str(), dir.get(), name.c_str(), 0) == 0) {
                    path = parts.prefix + name;
                    return Error();
                }
                if (errno != EEXIST) {
                    return Cannot("create", Quoted(parts.prefix + name), errno);
                }
            }
            return Refused("cannot write " + shown + ": every name up to '-999' is taken");
        });
}

Error CheckCanCreate(const std::string& path) {
    OutputTarget target;
    if (Error e = ResolveOutput(path, target); e.Failed()) {
        return e;
    }
    const std::string shown = Quoted(path);
    if (target.kind == OutputTarget::kDirect) {
        return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0
                   ? Error()
                   : Cannot("write", shown, errno);
    }
    const std::string folder = Split(target.file).folder;
    const std::string verb = target.kind == OutputTarget::kNew ? "cannot create " : "cannot write ";
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) {
        const int err = errno;
        return Refused(
            verb + shown + ": the folder " + Quoted(folder) +
            (err == ENOENT ? " does not exist" : " cannot be reached: " + ErrnoText(err)));
    }
    if (!S_ISDIR(st.st_mode)) {
        return Refused(verb + shown + ": " + Quoted(folder) + " is not a folder");
    }
    // The folder, not the file: a replaced file is renamed over, so it is
    // the folder that must take a new name.
    if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        const int err = errno;
        return Refused(verb + shown + " in the folder " + Quoted(folder) + ": " + ErrnoText(err));
    }
    return {};
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    return !a.empty() && !b.empty() && ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 &&
           sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::string OutputClashes(const std::string& output, std::initializer_list<FileRole> inputs) {
    for (const FileRole& input : inputs) {
        if (!SameFile(output, std::string(input.path))) {
            continue;
        }
        const std::string what =
            output == input.path
                ? std::string(input.role)
                : "the same file as " + std::string(input.role) + " " + Quoted(input.path);
        return Quoted(output) + " is " + what +
               "; writing it would destroy it. Choose another output.";
    }
    return {};
}

std::string Quoted(std::string_view text) {
    // Built by appending: GCC 12 misreads `"..." + std::string&&` at -O3
    // (-Wrestrict).
    std::string quoted(1, '\'');
    quoted.append(text).push_back('\'');
    return quoted;
}

std::string FolderOf(const std::string& path) {
    return Split(path).folder;
}

}  // namespace sovra
