#pragma once
// Programs a test starts. A ChildProcess dies with the test: it is killed
// when the object goes and, should the test itself be killed (a ctest
// timeout), by the kernel. Its standard input and output are pipes to the
// test or files when asked for; otherwise it shares the test's.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/support/temp_dir.h"

extern char** environ;

namespace sovra::testing {

struct ChildSetup {
    std::vector<std::string> env = {};  // added to the test's own environment
    bool pipeInput = false;
    bool pipeOutput = false;
    std::string outputFile = {};  // takes the output instead, when named
    std::string errorFile = {};   // takes the standard error, when named
    // Runs in the child just before the program starts: only
    // async-signal-safe calls.
    std::function<void()> inChild = {};
};

class ChildProcess {
  public:
    explicit ChildProcess(std::vector<std::string> argv, ChildSetup setup = {}) {
        // Everything the child needs is made before fork(): after it, only
        // async-signal-safe calls.
        std::vector<char*> args;
        for (std::string& a : argv) {
            args.push_back(a.data());
        }
        args.push_back(nullptr);
        std::vector<char*> env;
        for (char** e = environ; *e != nullptr; ++e) {
            env.push_back(*e);
        }
        for (std::string& e : setup.env) {
            env.push_back(e.data());
        }
        env.push_back(nullptr);
        int in[2] = {-1, -1}, out[2] = {-1, -1};
        if ((setup.pipeInput && ::pipe2(in, O_CLOEXEC) != 0) ||
            (setup.pipeOutput && ::pipe2(out, O_CLOEXEC) != 0)) {
            return;
        }
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) {
                ::_exit(127);
            }
            if (in[0] >= 0) {
                ::dup2(in[0], STDIN_FILENO);
            }
            if (out[1] >= 0) {
                ::dup2(out[1], STDOUT_FILENO);
            }
            for (const auto& [file, target] : {std::pair{&setup.outputFile, STDOUT_FILENO},
                                               std::pair{&setup.errorFile, STDERR_FILENO}}) {
                if (!file->empty()) {
                    ::dup2(::open(file->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600),
                           target);
                }
            }
            if (setup.inChild) {
                setup.inChild();
            }
            ::execve(args[0], args.data(), env.data());
            ::_exit(127);
        }
        in_ = Keep(in, 1);
        out_ = Keep(out, 0);
    }
    ~ChildProcess() {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        Close(in_);
        Close(out_);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return pid_ > 0; }
    bool Signal(int signalNumber) const { return pid_ > 0 && ::kill(pid_, signalNumber) == 0; }

    // Writes to the child's input; false when it is closed.
    bool Send(std::string_view text) const {
        return ::write(in_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
    void CloseInput() { Close(in_); }

    // The next line the child prints, without its newline; none when it
    // ends first or says nothing for `timeoutMs`.
    std::optional<std::string> ReadLine(int timeoutMs) const {
        std::string line;
        for (;;) {
            pollfd p{out_, POLLIN, 0};
            char c;
            if (::poll(&p, 1, timeoutMs) != 1 || ::read(out_, &c, 1) != 1) {
                return std::nullopt;
            }
            if (c == '\n') {
                return line;
            }
            line += c;
        }
    }

    // Waits for the child's end; returns the wait status.
    int Wait() {
        int status = 0;
        while (!status_ && pid_ > 0) {
            if (::waitpid(pid_, &status, 0) == pid_) {
                status_ = status;
            } else if (errno != EINTR) {
                return -1;
            }
        }
        return status_.value_or(-1);
    }

  private:
    // The test's end of a pipe; the child's end is closed here.
    static int Keep(int fds[2], int end) {
        if (fds[0] >= 0) {
            ::close(fds[1 - end]);
        }
        return fds[end];
    }
    static void Close(int& fd) {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }

    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::optional<int> status_;
};

// How a program ended and what it printed.
struct Outcome {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs a program to its end, its input empty and its output caught.
inline Outcome Run(std::vector<std::string> argv) {
    const TempDir dir("sovra-run");
    ChildProcess child(
        std::move(argv),
        {.pipeInput = true, .outputFile = dir.File("stdout"), .errorFile = dir.File("stderr")});
    Outcome o;
    child.CloseInput();
    const int status = child.Wait();
    if (status != -1) {
        o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    o.out = ReadText(dir.File("stdout"));
    o.err = ReadText(dir.File("stderr"));
    return o;
}

}  // namespace sovra::testing
