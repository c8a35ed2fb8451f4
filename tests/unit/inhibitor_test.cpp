// The shutdown lock against a logind of our own: a private dbus-daemon with
// python3-dbusmock's logind template on it, reached as the system bus
// through DBUS_SYSTEM_BUS_ADDRESS. Both processes die with the test, on
// every path: they are killed by the fixture and, should the test itself be
// killed (a ctest timeout), by the kernel (PR_SET_PDEATHSIG).

#include "app/inhibitor.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace sovra {
namespace {

namespace fs = std::filesystem;

constexpr const char* kDbusDaemon = "/usr/bin/dbus-daemon";
constexpr const char* kPython = "/usr/bin/python3";
// Readiness of the helpers, not a measurement: a loaded machine may take a
// while to start Python.
constexpr auto kStartDeadline = std::chrono::seconds(30);

using Inhibitor = std::tuple<std::string, std::string, std::string, std::string>;

// Sets an environment variable for one scope.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* name_;
    std::optional<std::string> old_;
};

// A helper program that dies with the test. `outFd`, if given, becomes the
// child's standard output.
class ChildProcess {
  public:
    ChildProcess(std::vector<std::string> argv, std::vector<std::string> extraEnv, int outFd) {
        // Everything the child needs is made before fork(): after it, only
        // async-signal-safe calls.
        std::vector<char*> args;
        for (auto& a : argv) {
            args.push_back(a.data());
        }
        args.push_back(nullptr);
        std::vector<char*> env;
        for (char** e = environ; *e != nullptr; ++e) {
            env.push_back(*e);
        }
        for (auto& e : extraEnv) {
            env.push_back(e.data());
        }
        env.push_back(nullptr);
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) {
                ::_exit(127);
            }
            if (outFd >= 0) {
                ::dup2(outFd, STDOUT_FILENO);
            }
            ::execve(args[0], args.data(), env.data());
            ::_exit(127);
        }
    }
    ~ChildProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return pid_ > 0; }

  private:
    pid_t pid_ = -1;
};

class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/sovra-bus-XXXXXX";
        const char* made = ::mkdtemp(tmpl);
        path_ = made != nullptr ? made : "";
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& Path() const { return path_; }

  private:
    fs::path path_;
};

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
        const fs::path config = dir_.Path() / "bus.conf";
        std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC"
                                 " \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                                 " \"http://www.freedesktop.org/standards/dbus/1.0/"
                                 "busconfig.dtd\">\n"
                                 "<busconfig>\n"
                                 "  <type>system</type>\n"
                                 "  <listen>unix:path="
                              << (dir_.Path() / "bus").string()
                              << "</listen>\n"
                                 "  <auth>EXTERNAL</auth>\n"
                                 "  <policy context=\"default\">\n"
                                 "    <allow user=\"*\"/>\n"
                                 "    <allow own=\"*\"/>\n"
                                 "    <allow send_destination=\"*\"/>\n"
                                 "    <allow receive_sender=\"*\"/>\n"
                                 "  </policy>\n"
                                 "</busconfig>\n";
        int pipeFds[2];
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe2 failed";
            return;
        }
        daemon_.emplace(
            std::vector<std::string>{kDbusDaemon, "--nofork", "--nopidfile",
                                     "--config-file=" + config.string(), "--print-address=1"},
            std::vector<std::string>{}, pipeFds[1]);
        ::close(pipeFds[1]);
        // The daemon prints its address once it listens.
        std::string line;
        char c;
        while (::read(pipeFds[0], &c, 1) == 1 && c != '\n') {
            line += c;
        }
        ::close(pipeFds[0]);
        if (line.empty()) {
            ADD_FAILURE() << "dbus-daemon printed no address";
            return;
        }
        address_ = line;
        if (!withLogind) {
            return;
        }
        mock_.emplace(std::vector<std::string>{kPython, "-m", "dbusmock", "--template", "logind"},
                      std::vector<std::string>{"DBUS_SYSTEM_BUS_ADDRESS=" + address_}, -1);
        if (!WaitFor([&] { return ListInhibitors(address_).has_value(); })) {
            ADD_FAILURE() << "logind's mock never answered on " << address_
                          << " (is python3-dbusmock installed?)";
        }
    }

    const std::string& Address() const { return address_; }

  private:
    TempDir dir_;
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
        const std::string path = (dir_.Path() / "bus").string();
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
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const bool held = ShutdownInhibitor::Acquire().Held();
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_FALSE(held);
        EXPECT_EQ(out, "");
        EXPECT_EQ(err, "");
    }
}

}  // namespace
}  // namespace sovra
