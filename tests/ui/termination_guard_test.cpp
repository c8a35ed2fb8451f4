// The termination guard with real signals. Each case runs this program
// again as a child (--guard-child) that puts a guard up and takes orders on
// its standard input, one a line:
//   hold      takes an update token       answers "holding"
//   release   gives one back              answers "released"
//   ping                                  answers "pong N", N the held signal (0: none)
// and says "held N" whenever the guard holds a request by signal N. The
// parent sends the signals and reads how the child ended.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <optional>
#include <string>
#include <vector>

#include "ui/termination_guard.h"

namespace {

using sovra::ui::TerminationGuard;

constexpr const char* kChildFlag = "--guard-child";
// How long the parent waits for a line before it calls the child lost: not
// a measurement, a bound that only a hung child reaches.
constexpr int kLineTimeoutMs = 20000;

void Say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

int RunChild(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    TerminationGuard guard;
    QObject::connect(&guard, &TerminationGuard::terminationHeld,
                     [](int signalNumber) { Say("held " + std::to_string(signalNumber)); });
    std::list<TerminationGuard::UpdateInProgress> tokens;
    std::string pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buf[256];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            QCoreApplication::exit(3);  // the parent went away
            return;
        }
        pending.append(buf, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            const std::string command = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (command == "hold") {
                tokens.emplace_back();
                Say("holding");
            } else if (command == "release") {
                tokens.pop_back();
                Say("released");
            } else if (command == "ping") {
                Say("pong " + std::to_string(TerminationGuard::HeldSignal()));
            }
        }
    });
    Say("ready");
    return QCoreApplication::exec();
}

// The child, seen from the test.
class GuardChild {
  public:
    // `ignored`: a signal the child starts with ignored, as under nohup.
    explicit GuardChild(std::optional<int> ignored = std::nullopt) {
        int toChild[2];
        int fromChild[2];
        if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe2: " << std::strerror(errno);
            return;
        }
        char exe[] = "/proc/self/exe";
        char flag[] = "--guard-child";
        char* argv[] = {exe, flag, nullptr};
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) {
                ::_exit(127);
            }
            // SIGQUIT would leave a core file behind.
            const rlimit noCore{0, 0};
            ::setrlimit(RLIMIT_CORE, &noCore);
            if (ignored) {
                ::signal(*ignored, SIG_IGN);
            }
            ::dup2(toChild[0], STDIN_FILENO);
            ::dup2(fromChild[1], STDOUT_FILENO);
            ::execv(exe, argv);
            ::_exit(127);
        }
        ::close(toChild[0]);
        ::close(fromChild[1]);
        in_ = toChild[1];
        out_ = fromChild[0];
        EXPECT_EQ(ReadLine(), "ready");
    }
    ~GuardChild() {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(in_);
        ::close(out_);
    }
    GuardChild(const GuardChild&) = delete;
    GuardChild& operator=(const GuardChild&) = delete;

    void Signal(int signalNumber) { ASSERT_EQ(::kill(pid_, signalNumber), 0); }

    // Sends a command and returns the next line the child says.
    std::string Ask(const std::string& command) {
        const std::string line = command + "\n";
        if (::write(in_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            return "(the child's input is closed)";
        }
        return ReadLine();
    }

    std::string ReadLine() {
        std::string line;
        for (;;) {
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, kLineTimeoutMs) != 1) {
                return "(no answer)";
            }
            char c;
            if (::read(out_, &c, 1) != 1) {
                return "(the child ended)";
            }
            if (c == '\n') {
                return line;
            }
            line += c;
        }
    }

    // How the child ended: "signal N", "exit N".
    std::string Ended() {
        int status = 0;
        if (::waitpid(pid_, &status, 0) != pid_) {
            return "(not a child)";
        }
        status_ = status;
        if (WIFSIGNALED(status)) {
            return "signal " + std::to_string(WTERMSIG(status));
        }
        return "exit " + std::to_string(WEXITSTATUS(status));
    }

  private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::optional<int> status_;
};

std::string KilledBy(int signalNumber) {
    return "signal " + std::to_string(signalNumber);
}

class TerminationGuardSignalTest : public testing::TestWithParam<int> {};

TEST_P(TerminationGuardSignalTest, WithoutAnUpdateTheRequestEndsTheProgramAtOnce) {
    GuardChild child;
    child.Signal(GetParam());
    EXPECT_EQ(child.Ended(), KilledBy(GetParam()));
}

TEST_P(TerminationGuardSignalTest, DuringAnUpdateTheRequestWaitsForItsEnd) {
    GuardChild child;
    ASSERT_EQ(child.Ask("hold"), "holding");
    child.Signal(GetParam());
    EXPECT_EQ(child.ReadLine(), "held " + std::to_string(GetParam()));
    EXPECT_EQ(child.Ask("ping"), "pong " + std::to_string(GetParam()));
    child.Ask("release");
    EXPECT_EQ(child.Ended(), KilledBy(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(EachSignal, TerminationGuardSignalTest,
                         testing::ValuesIn(TerminationGuard::kSignals),
                         [](const testing::TestParamInfo<int>& info) {
                             return std::string(sigabbrev_np(info.param));
                         });

TEST(TerminationGuardTest, TheRequestWaitsForTheLastOfSeveralUpdates) {
    GuardChild child;
    ASSERT_EQ(child.Ask("hold"), "holding");
    ASSERT_EQ(child.Ask("hold"), "holding");
    child.Signal(SIGTERM);
    EXPECT_EQ(child.ReadLine(), "held 15");
    // A second request is held as well; the first one is the one honoured.
    child.Signal(SIGHUP);
    EXPECT_EQ(child.ReadLine(), "held 1");
    EXPECT_EQ(child.Ask("release"), "released");
    EXPECT_EQ(child.Ask("ping"), "pong 15");
    child.Ask("release");
    EXPECT_EQ(child.Ended(), KilledBy(SIGTERM));
}

TEST(TerminationGuardTest, ASignalIgnoredAtStartStaysIgnored) {
    GuardChild child(SIGHUP);
    ASSERT_EQ(child.Ask("hold"), "holding");
    child.Signal(SIGHUP);
    child.Signal(SIGTERM);
    // Caught, the SIGHUP would be held as well, and say so before or after
    // the SIGTERM, whichever order the handlers ran in.
    EXPECT_EQ(child.ReadLine(), "held 15");
    EXPECT_EQ(child.Ask("ping"), "pong 15");
    child.Ask("release");
    EXPECT_EQ(child.Ended(), KilledBy(SIGTERM));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], kChildFlag) == 0) {
        return RunChild(argc, argv);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
