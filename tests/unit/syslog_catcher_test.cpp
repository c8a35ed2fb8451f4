// The launcher's system-log receiver: nothing a program sends is lost, even
// a burst far longer than the kernel's datagram queue.

#include "sim/syslog_catcher.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/temp_dir.h"

namespace sovra::sim {
namespace {

class SyslogCatcherTest : public ::testing::Test {
  protected:
    // Sends like the project's reporter: connect, then send (blocking).
    static void SendAll(const std::string& path, int count) {
        const int s = ::socket(AF_UNIX, SOCK_DGRAM, 0);
        ASSERT_GE(s, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        for (int i = 0; i < count; ++i) {
            const std::string text = "<14>entry " + std::to_string(i);
            ASSERT_EQ(::send(s, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
        }
        ::close(s);
    }

    sovra::testing::TempDir tmp_{"sovra-syslog-test"};
    const std::filesystem::path dir_ = tmp_.Path();
};

TEST_F(SyslogCatcherTest, KeepsEveryDatagramInOrderThroughABurst) {
    const std::string path = (dir_ / "dev" / "log").string();
    SyslogCatcher catcher(path);
    // Many times the kernel's default queue of 10 datagrams: a sender
    // would block for ever if nobody drained the socket while it runs.
    constexpr int kCount = 2000;
    SendAll(path, kCount);
    const std::vector<std::string> entries = catcher.Finish();
    ASSERT_EQ(entries.size(), static_cast<std::size_t>(kCount));
    for (int i = 0; i < kCount; ++i) {
        EXPECT_EQ(entries[static_cast<std::size_t>(i)], "<14>entry " + std::to_string(i));
    }
    EXPECT_TRUE(catcher.Finish().empty());
}

TEST_F(SyslogCatcherTest, ReplacesAStaleSocketAndRemovesItsOwn) {
    const std::string path = (dir_ / "log").string();
    { SyslogCatcher first(path); }
    EXPECT_FALSE(std::filesystem::exists(path));
    std::filesystem::create_directories(dir_);
    { std::ofstream stale(path); }
    SyslogCatcher second(path);
    SendAll(path, 1);
    EXPECT_EQ(second.Finish(), std::vector<std::string>{"<14>entry 0"});
}

TEST(SyslogCatcher, RefusesAPathTooLongForASocket) {
    EXPECT_THROW(SyslogCatcher("/tmp/" + std::string(200, 'x')), std::runtime_error);
}

}  // namespace
}  // namespace sovra::sim
