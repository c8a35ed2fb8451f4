#pragma once
// Keeps the desktop application alive while it writes to a device. A
// logout, a closed terminal or a Ctrl-C sends SIGHUP, SIGTERM, SIGINT or
// SIGQUIT, and dying mid-write can leave a beamformer that no longer
// starts. While no update runs, such a request ends the program at once,
// exactly as it would without the guard (the exit status still says
// "killed by signal N"). While an update runs it is held, and honoured as
// soon as the last update has ended.
//
// The signal handler only writes the signal's number to a pipe; the rest
// happens on the user-interface thread, which reads the pipe through a
// QSocketNotifier. A signal the program was started with ignored (nohup)
// stays ignored, and one that already had a handler keeps it.

#include <QObject>
#include <QSocketNotifier>
#include <array>
#include <csignal>
#include <memory>

namespace sovra::ui {

class TerminationGuard final : public QObject {
    Q_OBJECT

  public:
    // The signals the guard holds during an update.
    static constexpr std::array<int, 4> kSignals{SIGTERM, SIGHUP, SIGINT, SIGQUIT};

    // Catches the termination signals until it is destroyed, on the thread
    // it is made on (which runs an event loop). One guard at a time: a
    // second one throws std::logic_error.
    explicit TerminationGuard(QObject* parent = nullptr);
    ~TerminationGuard() override;
    TerminationGuard(const TerminationGuard&) = delete;
    TerminationGuard& operator=(const TerminationGuard&) = delete;

    // An update begins or ends; any thread may call these, with or without
    // a guard in place. When the last update ends and a request was held,
    // it is honoured from the guard's event loop, so the caller finishes
    // what it is doing first.
    static void Hold();
    static void Release();

    // The signal a request waiting for the updates to end came by, or 0.
    static int HeldSignal();

    // Holds termination requests while it lives: one per update.
    class UpdateInProgress {
      public:
        UpdateInProgress() { Hold(); }
        ~UpdateInProgress() { Release(); }
        UpdateInProgress(const UpdateInProgress&) = delete;
        UpdateInProgress& operator=(const UpdateInProgress&) = delete;
    };

  signals:
    // A termination request came during an update and waits for it to end;
    // sent for every such request, so a window can say why it stays.
    void terminationHeld(int signalNumber);

  private:
    void ReadRequests();
    void HonourIfDue();

    std::array<int, 2> pipe_{-1, -1};
    // The signals this guard installed its handler for, with what they had
    // before.
    std::array<bool, kSignals.size()> installed_{};
    std::array<struct sigaction, kSignals.size()> previous_{};
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace sovra::ui
