// The termination guard with real signals. Each case runs this program
// again as a child (--guard-child) that puts a guard up and takes orders on
// its standard input, one a line:
//   hold      takes an update token       answers "holding"
//   release   gives one back              answers "released"
//   ping                                  answers "pong N", N the held signal (0: none)
// and says "held N" whenever the guard holds a request by signal N. The
// parent sends the signals and reads how the child ended.

#include <signal.h>
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

#include "tests/support/child_process.h"
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
    explicit GuardChild(std::optional<int> ignored = std::nullopt)
        : child_({"/proc/self/exe", kChildFlag},
                 {.pipeInput = true, .pipeOutput = true, .inChild = [ignored] {
                      // SIGQUIT would leave a core file behind.
                      const rlimit noCore{0, 0};
                      ::setrlimit(RLIMIT_CORE, &noCore);
                      if (ignored) {
                          ::signal(*ignored, SIG_IGN);
                      }
                  }}) {
        EXPECT_EQ(ReadLine(), "ready");
    }

    void Signal(int signalNumber) { ASSERT_TRUE(child_.Signal(signalNumber)); }

    // Sends a command and returns the next line the child says.
    std::string Ask(const std::string& command) {
        if (!child_.Send(command + "\n")) {
            return "(the child's input is closed)";
        }
        return ReadLine();
    }

    std::string ReadLine() { return child_.ReadLine(kLineTimeoutMs).value_or("(no answer)"); }

    // How the child ended: "signal N", "exit N".
    std::string Ended() {
        const int status = child_.Wait();
        if (status == -1) {
            return "(not a child)";
        }
        if (WIFSIGNALED(status)) {
            return "signal " + std::to_string(WTERMSIG(status));
        }
        return "exit " + std::to_string(WEXITSTATUS(status));
    }

  private:
    sovra::testing::ChildProcess child_;
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
