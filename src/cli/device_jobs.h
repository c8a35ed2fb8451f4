#pragma once
// What `update`, `restore` and `watch` share: one update engine job per
// device with its published progress and its worker, and the signals held
// while devices are being written.

#include <array>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "cli/cmd_update.h"
#include "cli/device_select.h"
#include "cli/update_report.h"
#include "update/update_engine.h"

namespace sovra::cli {

// Everything one device's job needs, alive until its worker has been joined.
struct DeviceJob {
    explicit DeviceJob(UpdateProgress::Notify notify) : progress(std::move(notify)) {}
    DeviceRow row;
    std::string label;  // the device path, safe to print
    UpdateJob job;
    UpdateProgress progress;
    UpdateRun run;

    // How it ended, once joined.
    DeviceOutcome Outcome() const;
};

// A job for `row` through `channel`, as the options ask: the image lent,
// the backup policy, verification, a shared request to stop, and whom to
// notify of its progress (see UpdateProgress).
std::unique_ptr<DeviceJob> MakeDeviceJob(
    const DeviceRow& row, std::shared_ptr<DeviceChannel> channel, const UpdateCliOptions& o,
    std::span<const std::uint8_t> image, const BackupPolicy& backup,
    const std::atomic<bool>* cancel, UpdateProgress::Notify notify);

// The backup policy the options name: --no-backup, --backup FILE, or a new
// file in the default folder.
BackupPolicy BackupPolicyOf(const UpdateCliOptions& o);

// Catches the signals that end a program from a terminal or a session
// (Ctrl-C, Ctrl-\, a termination request, a hang-up) for the life of the
// object, whichever thread they reach, so that none of them ends the
// program while a device is being written: each becomes a request to stop,
// which the jobs heed only until they begin writing.
class HeldSignals {
  public:
    HeldSignals();
    ~HeldSignals();
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;

    // Whether one has come since the last question.
    bool Arrived() const;

  private:
    static constexpr std::array<int, 4> kSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    std::array<struct sigaction, 4> old_{};
};

// What the user reads when a request to stop has come.
inline constexpr const char* kInterruptedNote =
    "Interrupted: updates still reading stop now and leave their device untouched; those "
    "already writing finish first, since stopping them would leave the device unusable.";

}  // namespace sovra::cli
