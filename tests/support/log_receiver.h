#pragma once
// A system-log daemon of a test's own: a datagram socket bound in a fresh
// folder. While it lives (when it redirects the process), every
// ReportSystemEvent goes to it; Next() gives the datagrams back as sent,
// Drain() the entries as (event type, text) pairs.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "app/event_log.h"
#include "tests/support/temp_dir.h"

namespace sovra::testing {

struct LogEntry {
    int type = -1;
    std::string text;
    bool operator==(const LogEntry&) const = default;
    friend void PrintTo(const LogEntry& e, std::ostream* os) {
        *os << "[" << e.type << "] " << e.text;
    }
};

class LogReceiver {
  public:
    explicit LogReceiver(bool redirectProcess = true) : redirected_(redirectProcess) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        path_.copy(addr.sun_path, sizeof addr.sun_path - 1);
        bound_ =
            fd_ >= 0 && ::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
        if (redirected_) {
            OverrideSystemLogSocket(path_);
        }
    }
    ~LogReceiver() {
        if (redirected_) {
            OverrideSystemLogSocket("");
        }
        ::close(fd_);
    }
    LogReceiver(const LogReceiver&) = delete;
    LogReceiver& operator=(const LogReceiver&) = delete;

    bool Bound() const { return bound_; }
    const std::string& Path() const { return path_; }
    const std::string& Dir() const { return dir_.Path(); }

    // The next datagram already queued, if any; never waits.
    std::optional<std::string> Next() {
        char buf[2048];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0) {
            return std::nullopt;
        }
        return std::string(buf, static_cast<std::size_t>(n));
    }

    // Every entry queued so far, oldest first; never waits.
    std::vector<LogEntry> Drain() {
        std::vector<LogEntry> out;
        while (const auto datagram = Next()) {
            out.push_back(Parse(*datagram));
        }
        return out;
    }

  private:
    // "<PRI>Mmm dd hh:mm:ss TAG[PID]: text": the kind of entry is read from
    // the priority's severity, the text is everything after the tag.
    static LogEntry Parse(const std::string& datagram) {
        const std::size_t close = datagram.find('>');
        const std::size_t tagEnd = datagram.find("]: ");
        if (datagram.empty() || datagram[0] != '<' || close == std::string::npos ||
            tagEnd == std::string::npos) {
            return {-1, datagram};
        }
        const int priority = std::atoi(datagram.c_str() + 1);
        int type = -1;
        switch (priority & 7) {
            case 5:  // notice
                type = 0;
                break;
            case 3:  // err
                type = 1;
                break;
            case 4:  // warning
                type = 2;
                break;
            case 6:  // info
                type = 4;
                break;
            default:
                break;
        }
        return {type, datagram.substr(tagEnd + 3)};
    }

    bool redirected_;
    TempDir dir_{"sovra-log"};
    std::string path_ = dir_.File("log");
    int fd_ = -1;
    bool bound_ = false;
};

inline LogEntry Entry(const SystemEvent& e) {
    return {static_cast<int>(e.type), std::string(e.text)};
}

}  // namespace sovra::testing
