#include "sim/syslog_catcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <utility>

namespace sovra::sim {
namespace {

// Enough for a whole update's entries many times over; the kernel caps it
// at its own maximum, and the draining thread keeps the queue short anyway.
constexpr int kReceiveBuffer = 4 << 20;
// Longer than any syslog datagram a local program sends.
constexpr std::size_t kMaxDatagram = 64 * 1024;

std::runtime_error SystemError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

SyslogCatcher::SyslogCatcher(std::string path) : path_(std::move(path)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.size() >= sizeof address.sun_path) {
        throw std::runtime_error("system-log socket path too long: " + path_);
    }
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), ec);
    ::unlink(path_.c_str());

    socket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socket_ < 0) {
        throw SystemError("cannot create the system-log socket");
    }
    stop_ = ::eventfd(0, EFD_CLOEXEC);
    if (stop_ < 0 ||
        ::bind(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const auto error = SystemError("cannot listen at " + path_);
        ::close(socket_);
        if (stop_ >= 0) {
            ::close(stop_);
        }
        throw error;
    }
    const int size = kReceiveBuffer;
    ::setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    thread_ = std::thread([this] { Run(); });
}

SyslogCatcher::~SyslogCatcher() {
    Finish();
    ::close(socket_);
    ::close(stop_);
    ::unlink(path_.c_str());
}

void SyslogCatcher::Run() {
    std::vector<char> buffer(kMaxDatagram);
    for (bool stopping = false; !stopping;) {
        pollfd fds[2] = {{socket_, POLLIN, 0}, {stop_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        stopping = (fds[1].revents & POLLIN) != 0;
        // Take everything queued; when stopping, that is the last of it.
        for (;;) {
            const ssize_t n = ::recv(socket_, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n >= 0) {
                entries_.emplace_back(buffer.data(), static_cast<std::size_t>(n));
            } else if (errno != EINTR) {
                break;
            }
        }
    }
}

std::vector<std::string> SyslogCatcher::Finish() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        if (::write(stop_, &one, sizeof one) < 0) {
            std::perror("system-log catcher");
        }
        thread_.join();
    }
    return std::exchange(entries_, {});
}

std::string PrintableLogEntry(std::string_view datagram) {
    while (!datagram.empty() && (datagram.back() == '\n' || datagram.back() == '\0')) {
        datagram.remove_suffix(1);
    }
    std::string line;
    line.reserve(datagram.size());
    for (const char c : datagram) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u == 0x7F) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", u);
            line += escaped;
        } else {
            line.push_back(c);
        }
    }
    return line;
}

}  // namespace sovra::sim
