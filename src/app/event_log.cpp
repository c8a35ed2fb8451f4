#include "app/event_log.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "app/safe_text.h"

namespace sovra {
namespace {

// The timestamp of RFC 3164 is fixed English, whatever the locale says.
constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string Timestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr || local.tm_mon < 0 || local.tm_mon > 11) {
        // The daemon stamps its own time anyway; any well-formed one will do.
        return "Jan  1 00:00:00";
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s %2d %02d:%02d:%02d", kMonths[local.tm_mon], local.tm_mday,
                  local.tm_hour, local.tm_min, local.tm_sec);
    return buf;
}

std::mutex& OverrideMutex() {
    static std::mutex m;
    return m;
}

std::string& OverridePath() {
    static std::string path;
    return path;
}

std::string& TagSetting() {
    static std::string tag;
    return tag;
}

std::string CurrentTag() {
    const std::lock_guard<std::mutex> lock(OverrideMutex());
    return TagSetting().empty() ? std::string(kSystemLogTag) : TagSetting();
}

std::string CurrentSocketPath() {
    const std::lock_guard<std::mutex> lock(OverrideMutex());
    return OverridePath().empty() ? std::string(kSystemLogSocket) : OverridePath();
}

// Reporting must not disturb a caller that looks at errno afterwards.
class ErrnoKeeper {
  public:
    ErrnoKeeper() : saved_(errno) {}
    ~ErrnoKeeper() { errno = saved_; }
    ErrnoKeeper(const ErrnoKeeper&) = delete;
    ErrnoKeeper& operator=(const ErrnoKeeper&) = delete;

  private:
    int saved_;
};

}  // namespace

void SetSystemLogTag(std::string_view tag) {
    const std::lock_guard<std::mutex> lock(OverrideMutex());
    TagSetting() = tag;
}

void OverrideSystemLogSocket(std::string socketPath) {
    const std::lock_guard<std::mutex> lock(OverrideMutex());
    OverridePath() = std::move(socketPath);
}

int SyslogPriority(EventType type) {
    switch (type) {
        case EVENTLOG_SUCCESS:
            return LOG_USER | LOG_NOTICE;
        case EVENTLOG_ERROR_TYPE:
            return LOG_USER | LOG_ERR;
        case EVENTLOG_WARNING_TYPE:
            return LOG_USER | LOG_WARNING;
        case EVENTLOG_INFORMATION_TYPE:
            break;
    }
    return LOG_USER | LOG_INFO;
}

std::string FormatSyslogMessage(EventType type, std::string_view text) {
    // Appended piece by piece: GCC 12 at -O3 sees an overlap that is not
    // there in `"<" + std::string&&` (-Wrestrict).
    std::string message;
    message.append("<").append(std::to_string(SyslogPriority(type))).append(">");
    message.append(Timestamp()).append(" ").append(CurrentTag());
    message.append("[").append(std::to_string(::getpid())).append("]: ");
    // One entry is one line: a name with a line break must not forge a
    // second entry, nor an escape sequence reach whoever reads the log.
    message.append(TerminalSafe(text));
    return message;
}

void ReportSystemEventTo(const char* socketPath, EventType type, std::string_view text) {
    if (socketPath == nullptr) {
        return;
    }
    const ErrnoKeeper keepErrno;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::size_t pathLength = std::strlen(socketPath);
    if (pathLength == 0 || pathLength >= sizeof addr.sun_path) {
        return;
    }
    std::memcpy(addr.sun_path, socketPath, pathLength + 1);

    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return;
    }
    // connect() then send(), not sendto(): a test launcher that redirects
    // /dev paths through a preloaded library sees the connect.
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
        const std::string message = FormatSyslogMessage(type, text);
        // A full queue (EAGAIN) or a vanished daemon drops the entry.
        ssize_t sent = -1;
        do {
            sent = ::send(fd, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        } while (sent < 0 && errno == EINTR);
    }
    ::close(fd);
}

void ReportSystemEvent(EventType type, std::string_view text) {
    const std::string path = CurrentSocketPath();
    ReportSystemEventTo(path.c_str(), type, text);
}

void ReportSystemEvent(const SystemEvent& event) {
    ReportSystemEvent(event.type, event.text);
}

void ReportDeviceEvent(std::string_view device, const SystemEvent& event) {
    std::string text(device);
    text.append(": ").append(event.text);
    ReportSystemEvent(event.type, text);
}

}  // namespace sovra
