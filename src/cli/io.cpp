#include "cli/io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace sovra::cli {
namespace {

std::string Reason(int err) {
    return std::strerror(err);
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::size_t maxBytes, std::vector<std::uint8_t>& out,
                   std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open '" + path + "': " + Reason(errno) + ".";
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "'" + path + "' is not a regular file.";
        ::close(fd);
        return false;
    }
    out.clear();
    // Read one byte past the limit so an oversized file is told apart.
    std::vector<std::uint8_t> buf(maxBytes + 1);
    std::size_t got = 0;
    while (got < buf.size()) {
        const ssize_t n = ::read(fd, buf.data() + got, buf.size() - got);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = "cannot read '" + path + "': " + Reason(errno) + ".";
            ::close(fd);
            return false;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (got > maxBytes) {
        error = "'" + path + "' is larger than " + std::to_string(maxBytes) + " bytes.";
        return false;
    }
    buf.resize(got);
    out = std::move(buf);
    return true;
}

bool WriteFileAtomically(const std::string& path, const std::uint8_t* data, std::size_t size,
                         std::string& error) {
    std::string tmp = path + ".XXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0) {
        error = "cannot create '" + path + "': " + Reason(errno) + ".";
        return false;
    }
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = "cannot write '" + path + "': " + Reason(errno) + ".";
            ::close(fd);
            ::unlink(tmp.c_str());
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    // mkstemp makes the file 0600; give it the usual permissions.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        error = "cannot write '" + path + "': " + Reason(errno) + ".";
        ::unlink(tmp.c_str());
        return false;
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        error = "cannot write '" + path + "': " + Reason(errno) + ".";
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

void PrintError(std::string_view message) {
    std::cerr << "sovra-flash: " << message << '\n';
}

}  // namespace sovra::cli
