#pragma once
// Catches the system-log entries of programs run under the umockdev
// preload: their connect("/dev/log") reaches $UMOCKDEV_DIR/dev/log, so a
// datagram socket bound there receives every entry, with no change to the
// programs. A thread drains it so that a sender never finds it full.

#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace sovra::sim {

class SyslogCatcher {
  public:
    // Binds the socket at `path` (creating its folder) and starts
    // receiving. Throws std::runtime_error when it cannot.
    explicit SyslogCatcher(std::string path);
    ~SyslogCatcher();
    SyslogCatcher(const SyslogCatcher&) = delete;
    SyslogCatcher& operator=(const SyslogCatcher&) = delete;

    // Stops receiving, after taking every datagram already queued, and
    // returns them all in arrival order. Later calls return nothing.
    std::vector<std::string> Finish();

  private:
    void Run();

    std::string path_;
    int socket_ = -1;
    int stop_ = -1;  // eventfd that ends the thread
    std::vector<std::string> entries_;
    std::thread thread_;
};

// One datagram as a line of text: trailing newlines and NULs dropped, other
// control characters shown as \xNN so a sender cannot drive the terminal.
std::string PrintableLogEntry(std::string_view datagram);

}  // namespace sovra::sim
