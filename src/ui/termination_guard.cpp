#include "ui/termination_guard.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <stdexcept>

namespace sovra::ui {
namespace {

// The write end of the guard's pipe, for the handler; -1 without a guard.
// A lock-free atomic is safe to read in a signal handler.
std::atomic<int> g_requestPipe{-1};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void OnTerminationRequest(int signalNumber) {
    const int savedErrno = errno;
    const int fd = g_requestPipe.load(std::memory_order_relaxed);
    if (fd >= 0) {
        const auto byte = static_cast<unsigned char>(signalNumber);
        // A full pipe already holds a request, which is all that counts.
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

// The updates running and the request held for them, shared by every
// thread that takes a token.
struct HoldState {
    std::mutex mutex;
    int holds = 0;
    int heldSignal = 0;
    TerminationGuard* guard = nullptr;
};

HoldState& State() {
    static HoldState state;
    return state;
}

// Dies of `signalNumber` as the program would have without the guard.
[[noreturn]] void Honour(int signalNumber) {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ::sigaction(signalNumber, &dfl, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signalNumber);
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(signalNumber);
    // Not reached: each of these signals ends the process by default.
    ::_exit(128 + signalNumber);
}

}  // namespace

TerminationGuard::TerminationGuard(QObject* parent) : QObject(parent) {
    {
        const std::lock_guard<std::mutex> lock(State().mutex);
        if (State().guard != nullptr) {
            throw std::logic_error("only one TerminationGuard may exist at a time");
        }
        if (::pipe2(pipe_.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
            // Without a pipe the handler has nowhere to go: the program
            // keeps the signals' usual behaviour.
            pipe_ = {-1, -1};
            return;
        }
        State().guard = this;
    }
    notifier_ = std::make_unique<QSocketNotifier>(pipe_[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &TerminationGuard::ReadRequests);
    g_requestPipe.store(pipe_[1], std::memory_order_relaxed);

    struct sigaction action {};
    action.sa_handler = OnTerminationRequest;
    sigemptyset(&action.sa_mask);
    // Calls that a signal interrupts elsewhere in the program go on.
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
        struct sigaction current {};
        if (::sigaction(kSignals[i], nullptr, &current) != 0 || current.sa_handler != SIG_DFL ||
            (current.sa_flags & SA_SIGINFO) != 0) {
            continue;
        }
        installed_[i] = ::sigaction(kSignals[i], &action, &previous_[i]) == 0;
    }
}

TerminationGuard::~TerminationGuard() {
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
        if (installed_[i]) {
            ::sigaction(kSignals[i], &previous_[i], nullptr);
        }
    }
    notifier_.reset();
    g_requestPipe.store(-1, std::memory_order_relaxed);
    for (const int fd : pipe_) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    const std::lock_guard<std::mutex> lock(State().mutex);
    if (State().guard == this) {
        State().guard = nullptr;
        State().heldSignal = 0;
    }
}

void TerminationGuard::Hold() {
    const std::lock_guard<std::mutex> lock(State().mutex);
    ++State().holds;
}

void TerminationGuard::Release() {
    const std::lock_guard<std::mutex> lock(State().mutex);
    if (State().holds > 0) {
        --State().holds;
    }
    if (State().holds == 0 && State().heldSignal != 0 && State().guard != nullptr) {
        QMetaObject::invokeMethod(State().guard, &TerminationGuard::HonourIfDue,
                                  Qt::QueuedConnection);
    }
}

int TerminationGuard::HeldSignal() {
    const std::lock_guard<std::mutex> lock(State().mutex);
    return State().heldSignal;
}

void TerminationGuard::HonourIfDue() {
    int signalNumber = 0;
    {
        const std::lock_guard<std::mutex> lock(State().mutex);
        // Another update may have begun since the last one ended.
        if (State().holds == 0) {
            signalNumber = State().heldSignal;
        }
    }
    if (signalNumber != 0) {
        Honour(signalNumber);
    }
}

void TerminationGuard::ReadRequests() {
    unsigned char requests[64];
    ssize_t n;
    while ((n = ::read(pipe_[0], requests, sizeof requests)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            const int signalNumber = requests[i];
            {
                const std::lock_guard<std::mutex> lock(State().mutex);
                if (State().holds == 0) {
                    // Not a word: the program ends now, as it always did.
                    Honour(signalNumber);
                }
                // The first request is the one honoured later; the others
                // only say again that someone wants the program to end.
                if (State().heldSignal == 0) {
                    State().heldSignal = signalNumber;
                }
            }
            emit terminationHeld(signalNumber);
        }
    }
}

}  // namespace sovra::ui
