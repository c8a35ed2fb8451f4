#include "cli/device_jobs.h"

namespace sovra::cli {
namespace {

std::atomic<bool> gInterrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void NoteInterrupt(int) {
    gInterrupted.store(true);
}

}  // namespace

DeviceOutcome DeviceJob::Outcome() const {
    return {row.entry.path, row.text, label, progress.Outcome().value_or(UpdateOutcome{})};
}

std::unique_ptr<DeviceJob> MakeDeviceJob(
    const DeviceRow& row, std::shared_ptr<DeviceChannel> channel, const UpdateCliOptions& o,
    std::span<const std::uint8_t> image, const BackupPolicy& backup,
    const std::atomic<bool>* cancel, UpdateProgress::Notify notify) {
    auto job = std::make_unique<DeviceJob>(std::move(notify));
    job->row = row;
    job->label = TerminalSafe(row.entry.path);
    UpdateJob& j = job->job;
    j.program = "sovra-flash";
    j.channel = std::move(channel);
    j.device = row.entry;
    j.imagePath = o.image;
    j.image = image;
    j.options.mode = o.mode;
    j.options.backup = backup;
    j.options.verify = o.mode == UpdateMode::kRestore || !o.noVerify;
    j.options.force = o.force;
    j.options.skipWhenCurrent = o.mode == UpdateMode::kMerge && !o.reinstall;
    j.options.signingKey = o.signingKey;
    j.options.cancel = cancel;
    // Several updates may run at once: each entry says which device.
    j.options.nameDeviceInLog = true;
    return job;
}

BackupPolicy BackupPolicyOf(const UpdateCliOptions& o) {
    if (o.noBackup) {
        return BackupPolicy::None();
    }
    return o.backup ? BackupPolicy::File(*o.backup) : BackupPolicy::Folder(DefaultBackupFolder());
}

HeldSignals::HeldSignals() {
    gInterrupted.store(false);
    struct sigaction action {};
    action.sa_handler = NoteInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
        sigaction(kSignals[i], &action, &old_[i]);
    }
}

HeldSignals::~HeldSignals() {
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
        sigaction(kSignals[i], &old_[i], nullptr);
    }
}

bool HeldSignals::Arrived() const {
    return gInterrupted.exchange(false);
}

}  // namespace sovra::cli
