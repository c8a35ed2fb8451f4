// The shutdown lock against a logind of our own: a private dbus-daemon with
// python3-dbusmock's logind template on it, reached as the system bus
// through DBUS_SYSTEM_BUS_ADDRESS. Both processes die with the test, on
// every path: they are killed by the fixture and, should the test itself be
// killed (a ctest timeout), by the kernel (PR_SET_PDEATHSIG).

#include "app/inhibitor.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

namespace sovra {
namespace {

constexpr const char* kDbusDaemon = "/usr/bin/dbus-daemon";
constexpr const char* kPython = "/usr/bin/python3";
// Readiness of the helpers, not a measurement: a loaded machine may take a
// while to start Python.
constexpr auto kStartDeadline = std::chrono::seconds(30);

using Inhibitor = std::tuple<std::string, std::string, std::string, std::string>;

using testing::ChildProcess;
using testing::ChildSetup;
using testing::ScopedEnv;
using testing::TempDir;

bool WaitFor(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + kStartDeadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// The inhibitors logind's mock lists, or nothing when it does not answer.
std::optional<std::vector<Inhibitor>> ListInhibitors(const std::string& address) {
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0) {
        return std::nullopt;
    }
    std::optional<std::vector<Inhibitor>> result;
    sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C compound literal
    sd_bus_message* reply = nullptr;
    if (sd_bus_set_address(bus, address.c_str()) >= 0 && sd_bus_set_bus_client(bus, 1) >= 0 &&
        sd_bus_start(bus) >= 0 &&
        sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                           "org.freedesktop.login1.Manager", "ListInhibitors", &error, &reply,
                           "") >= 0 &&
        sd_bus_message_enter_container(reply, SD_BUS_TYPE_ARRAY, "(ssssuu)") >= 0) {
        std::vector<Inhibitor> list;
        const char *what, *who, *why, *mode;
        std::uint32_t uid, pid;
        int r;
        while ((r = sd_bus_message_read(reply, "(ssssuu)", &what, &who, &why, &mode, &uid, &pid)) >
               0) {
            list.emplace_back(what, who, why, mode);
        }
        if (r == 0) {
            result = std::move(list);
        }
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    sd_bus_close_unref(bus);
    return result;
}

// A bus of our own, with logind's mock on it when asked.
class PrivateBus {
  public:
    explicit PrivateBus(bool withLogind) {
        if (::access(kDbusDaemon, X_OK) != 0) {
            ADD_FAILURE() << kDbusDaemon << " is missing: install dbus-daemon";
            return;
        }
        const std::string config = dir_.File("bus.conf");
        std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC"
                                 " \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                                 " \"http://www.freedesktop.org/standards/dbus/1.0/"
                                 "busconfig.dtd\">\n"
                                 "<busconfig>\n"
                                 "  <type>system</type>\n"
                                 "  <listen>unix:path="
                              << dir_.File("bus")
                              << "</listen>\n"
                                 "  <auth>EXTERNAL</auth>\n"
                                 "  <policy context=\"default\">\n"
                                 "    <allow user=\"*\"/>\n"
                                 "    <allow own=\"*\"/>\n"
                                 "    <allow send_destination=\"*\"/>\n"
                                 "    <allow receive_sender=\"*\"/>\n"
                                 "  </policy>\n"
                                 "</busconfig>\n";
        // The daemon prints its address once it listens.
        daemon_.emplace(std::vector<std::string>{kDbusDaemon, "--nofork", "--nopidfile",
                                                 "--config-file=" + config, "--print-address=1"},
                        ChildSetup{.pipeOutput = true});
        const std::string line =
            daemon_->ReadLine(static_cast<int>(std::chrono::milliseconds(kStartDeadline).count()))
                .value_or("");
        if (line.empty()) {
            ADD_FAILURE() << "dbus-daemon printed no address";
            return;
        }
        address_ = line;
        if (!withLogind) {
            return;
        }
        mock_.emplace(std::vector<std::string>{kPython, "-m", "dbusmock", "--template", "logind"},
                      ChildSetup{.env = {"DBUS_SYSTEM_BUS_ADDRESS=" + address_}});
        if (!WaitFor([&] { return ListInhibitors(address_).has_value(); })) {
            ADD_FAILURE() << "logind's mock never answered on " << address_
                          << " (is python3-dbusmock installed?)";
        }
    }

    const std::string& Address() const { return address_; }

  private:
    TempDir dir_{"sovra-bus"};
    std::string address_;
    std::optional<ChildProcess> daemon_;
    std::optional<ChildProcess> mock_;
};

TEST(ShutdownInhibitorTest, LockIsListedWhileHeldAndGoneOnceReleased) {
    PrivateBus bus(/*withLogind=*/true);
    ASSERT_FALSE(bus.Address().empty());
    const ScopedEnv env("DBUS_SYSTEM_BUS_ADDRESS", bus.Address());
    const Inhibitor expected{"shutdown:sleep", "SovRa Firmware Update",
                             "Updating beamformer firmware", "block"};

    std::optional<ShutdownInhibitor> lock(ShutdownInhibitor::Acquire());
    EXPECT_TRUE(lock->Held());
    EXPECT_EQ(ListInhibitors(bus.Address()), std::vector<Inhibitor>{expected});

    // A move hands the lock over; it is not released on the way.
    ShutdownInhibitor moved = std::move(*lock);
    lock.reset();
    EXPECT_TRUE(moved.Held());
    EXPECT_EQ(ListInhibitors(bus.Address()), std::vector<Inhibitor>{expected});

    moved = ShutdownInhibitor();
    EXPECT_FALSE(moved.Held());
    // logind notices the closed descriptor on its own time.
    EXPECT_TRUE(WaitFor([&] {
        const auto listed = ListInhibitors(bus.Address());
        return listed && listed->empty();
    })) << "the lock is still listed after release";
}

TEST(ShutdownInhibitorTest, TheCallerNamesItself) {
    PrivateBus bus(/*withLogind=*/true);
    ASSERT_FALSE(bus.Address().empty());
    const ScopedEnv env("DBUS_SYSTEM_BUS_ADDRESS", bus.Address());

    const ShutdownInhibitor lock =
        ShutdownInhibitor::Acquire("Restoring a flash dump", "sovra-flash");
    EXPECT_TRUE(lock.Held());
    EXPECT_EQ(ListInhibitors(bus.Address()),
              (std::vector<Inhibitor>{
                  {"shutdown:sleep", "sovra-flash", "Restoring a flash dump", "block"}}));
}

// A listening socket that never accepts: connecting works, the handshake
// never comes.
class SilentSocket {
  public:
    SilentSocket() {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const std::string path = dir_.File("bus");
        path.copy(addr.sun_path, sizeof addr.sun_path - 1);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(::listen(fd_, 4), 0);
        address_ = "unix:path=" + path;
    }
    ~SilentSocket() { ::close(fd_); }
    SilentSocket(const SilentSocket&) = delete;
    SilentSocket& operator=(const SilentSocket&) = delete;
    const std::string& Address() const { return address_; }

  private:
    TempDir dir_;
    int fd_ = -1;
    std::string address_;
};

// Every way of not getting the lock: the update goes on without it, and the
// user sees nothing of it. The ctest timeout bounds the silent bus.
TEST(ShutdownInhibitorTest, WithoutLogindThereIsNoLockAndNoWord) {
    struct Case {
        const char* name;
        std::function<std::string()> address;  // keeps its bus up while it lives
    };
    std::optional<PrivateBus> busWithoutLogind;
    std::optional<SilentSocket> silent;
    const std::vector<Case> cases{
        {"no socket at the address",
         [] { return std::string("unix:path=/nonexistent/sovra-test/system_bus_socket"); }},
        {"an address that is not one", [] { return std::string("no-such-transport:"); }},
        {"a bus without logind",
         [&] {
             busWithoutLogind.emplace(/*withLogind=*/false);
             return busWithoutLogind->Address();
         }},
        {"a socket that never answers",
         [&] {
             silent.emplace();
             return silent->Address();
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ScopedEnv env("DBUS_SYSTEM_BUS_ADDRESS", c.address());
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const bool held = ShutdownInhibitor::Acquire().Held();
        const std::string out = ::testing::internal::GetCapturedStdout();
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_FALSE(held);
        EXPECT_EQ(out, "");
        EXPECT_EQ(err, "");
    }
}

}  // namespace
}  // namespace sovra
