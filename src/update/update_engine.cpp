#include "update/update_engine.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <exception>
#include <system_error>
#include <utility>
#include <vector>

#include "app/event_log.h"
#include "app/inhibitor.h"
#include "app/sha256.h"
#include "flash/flash_stages.h"
#include "flash/image_format.h"
#include "flash/merge.h"

#include "app/files.h"
#include "flash/info_area.h"

namespace sovra {
namespace {

std::string Quoted(const std::string& path) {
    return "'" + path + "'";
}

// The device and unit a failure sentence in the log begins with.
std::string LogName(const UpdateJob& job, const std::string& unit) {
    const std::string& serial = job.device.serial;
    return job.device.path + " (unit " + (unit.empty() ? "unknown" : unit) + ", serial " +
           (serial.empty() ? "unknown" : serial) + ")";
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// Whether the device already holds what this update would write: the image
// built with the update time the device holds equals its flash over every
// chunk the update would write.
bool AlreadyHolds(std::span<const std::uint8_t> flash, std::span<const std::uint8_t> image) {
    const auto record = FindDeviceInfo(flash);
    if (!record) {
        return false;
    }
    const auto held = LastUpdateTime(InfoAreaOf(DeviceInfoBlock(flash, *record)));
    if (!held) {
        return false;
    }
    std::vector<std::uint8_t> built(flash.begin(), flash.end());
    auto length = static_cast<std::uint32_t>(image.size());
    NullProgress quiet;
    if (Failed(MergeFirmware(built, image, length, FixedClock(*held), quiet)) ||
        length > flash.size()) {
        return false;
    }
    const std::size_t span = std::min<std::size_t>(
        flash.size(), (std::size_t{length} + ChunkSize - 1) / ChunkSize * ChunkSize);
    return std::equal(built.begin(), built.begin() + static_cast<std::ptrdiff_t>(span),
                      flash.begin());
}

// What the job's entries are about, for the journal's fields.
EventContext JobContext(const UpdateJob& job) {
    EventContext c;
    c.device = job.device.path;
    c.firmware = job.imagePath;
    c.firmwareSha256 = Sha256Hex(Sha256(job.image));
    c.serial = job.device.serial;
    return c;
}

// A fixed entry of the job's trail, naming the device when asked to.
void ReportJobEvent(const UpdateJob& job, const SystemEvent& event, const EventContext& context) {
    if (job.options.nameDeviceInLog) {
        ReportDeviceEvent(job.device.path, event, context);
    } else {
        ReportSystemEvent(event, context);
    }
}

// The entries that close a job that did not succeed: its kind, then why.
void ReportJobFailure(const UpdateJob& job, const std::string& failure, EventContext context) {
    context.result = "failure";
    const bool restore = job.options.mode == UpdateMode::kRestore;
    ReportJobEvent(job, restore ? kEventRestoreFailed : kEventUpdateFailed, context);
    ReportSystemEvent(kEventFailureReason, LogName(job, context.unit) + ": " + failure + ".",
                      context);
}

// One run of a job: the outcome grows as the job goes, so that however it
// ends (an exception included) the outcome says what the device holds.
class JobRun {
  public:
    JobRun(const UpdateJob& job, UpdateProgress& progress)
        : job_(job), progress_(progress), context_(JobContext(job)) {
        out_.mode = job.options.mode;
        out_.serial = job.device.serial;
    }

    UpdateOutcome Run() {
        try {
            Steps();
        } catch (const std::exception& e) {
            // Out of memory, most likely; whatever it was, the job ends here
            // and says what the device holds.
            Fail(E_FAIL, step_, std::string("the update stopped unexpectedly: ") + e.what());
        }
        Log();
        Record();
        progress_.Finish(out_);
        return out_;
    }

  private:
    bool Restore() const { return job_.options.mode == UpdateMode::kRestore; }

    void Fail(Status s, UpdateStep step, std::string failure) {
        out_.status = s;
        out_.endedIn = step;
        out_.failure = std::move(failure);
        if (out_.writesSent == 0) {
            out_.device = DeviceHolds::kUntouched;
        } else if (step == UpdateStep::kVerify) {
            out_.device = s == E_VERIFY_MISMATCH ? DeviceHolds::kWrittenDiffers
                                                 : DeviceHolds::kWrittenUnchecked;
        } else {
            out_.device = DeviceHolds::kPartlyWritten;
        }
    }

    bool Cancelled() const {
        return job_.options.cancel != nullptr &&
               job_.options.cancel->load(std::memory_order_relaxed);
    }

    void Steps() {
        step_ = UpdateStep::kPrecondition;
        std::uint32_t length = 0;
        if (!Preconditions(length)) {
            return;
        }
        progress_.ExpectRequests(ExpectedRequests(length, job_.options.verify));
        // No suspend or shutdown from the first request to the end: a write
        // cut short can leave a device that no longer starts.
        const ShutdownInhibitor noShutdown = ShutdownInhibitor::Acquire();

        std::vector<std::uint8_t> flash(FlashSize);
        DeviceChannel& channel = *job_.channel;
        std::string failure;

        step_ = UpdateStep::kReadBack;
        progress_.BeginStage(UpdateStage::kReadBack);
        ReportJobEvent(job_, kEventStage1, context_);
        if (const Status s =
                ReadFlash(channel, flash, progress_, job_.options.cancel, readBack_, failure);
            Failed(s)) {
            Fail(s, step_, failure);
            return;
        }
        out_.rereadChunks = readBack_.rereadChunks;
        out_.unit = UnitFingerprint(flash);
        context_.unit = out_.unit;
        progress_.SetOperation(Operation::kComplete);
        const FlashCheck check = CheckFlashContents(flash);
        if (check.status != S_OK) {
            out_.readBackWarning = "the flash read back is not a valid image: " +
                                   std::string(StatusText(check.status));
            ReportSystemEvent(kEventReadBackWarning, job_.device.path + ": " + out_.readBackWarning,
                              context_);
            progress_.Note(out_.readBackWarning);
        }

        if (!Restore() && job_.options.skipWhenCurrent) {
            BeginBuild();
            if (AlreadyHolds(flash, job_.image)) {
                progress_.SetOperation(Operation::kComplete);
                out_.upToDate = true;
                step_ = UpdateStep::kNone;
                return;
            }
        }

        step_ = UpdateStep::kBackup;
        if (!KeepBackup(flash, check.status == S_OK)) {
            return;
        }

        step_ = UpdateStep::kMerge;
        BeginBuild();
        if (!(Restore() ? TakeSavedImage(flash) : Merge(flash, length))) {
            return;
        }
        out_.imageLength = length;
        if (Cancelled()) {
            Fail(E_UPDATE_CANCELLED, step_, "stopped on request before anything was written");
            return;
        }

        step_ = UpdateStep::kWrite;
        progress_.BeginStage(UpdateStage::kWrite);
        ReportJobEvent(job_, kEventStage3, context_);
        if (const Status s =
                WriteImage(channel, flash, length, progress_, out_.writesSent, failure);
            Failed(s)) {
            Fail(s, step_, failure);
            return;
        }
        if (job_.options.verify) {
            step_ = UpdateStep::kVerify;
            if (const Status s = VerifyImage(channel, flash, length, progress_, failure);
                Failed(s)) {
                Fail(s, step_, failure);
                return;
            }
        }
        progress_.SetOperation(Operation::kComplete);
        step_ = UpdateStep::kNone;
        out_.status = S_OK;
        out_.endedIn = UpdateStep::kNone;
        out_.device =
            job_.options.verify ? DeviceHolds::kNewImage : DeviceHolds::kNewImageUnverified;
    }

    void BeginBuild() {
        if (!buildBegun_) {
            buildBegun_ = true;
            progress_.BeginStage(UpdateStage::kBuild);
            ReportJobEvent(job_, kEventStage2, context_);
        }
    }

    bool Preconditions(std::uint32_t& length) {
        if (Cancelled()) {
            Fail(E_UPDATE_CANCELLED, step_, "stopped on request before anything was sent");
            return false;
        }
        if (!job_.channel) {
            Fail(E_NOINTERFACE, step_, "no device could be opened");
            return false;
        }
        if (job_.image.empty()) {
            Fail(E_HANDLE, step_, "there is no image to write");
            return false;
        }
        if (Restore()) {
            if (job_.image.size() != FlashSize) {
                Fail(job_.image.size() > FlashSize ? E_IMAGE_TOO_LONG : E_IMAGE_TOO_SHORT, step_,
                     Quoted(job_.imagePath) + " holds " + std::to_string(job_.image.size()) +
                         " bytes, not a whole flash of " + std::to_string(FlashSize));
                return false;
            }
            const FlashCheck saved = CheckFlashContents(job_.image);
            // A backup of a flash that was already damaged walks but does
            // not add up: forced, it may go back, onto its own device only.
            badChecksum_ = saved.status == E_IMAGE_BAD_CHECKSUM && saved.deviceInfo;
            if (saved.status != S_OK && !(badChecksum_ && job_.options.force)) {
                Fail(saved.status, step_,
                     Quoted(job_.imagePath) +
                         " is not a valid flash: " + std::string(StatusText(saved.status)) +
                         (badChecksum_ ? "; if it is this device's own backup, restore it with "
                                         "--force"
                                       : ""));
                return false;
            }
            length = FlashSize;
        } else {
            ImageLayout layout;
            if (const Status s = ValidateImage(job_.image, FlashSize, layout); Failed(s)) {
                Fail(s, step_,
                     Quoted(job_.imagePath) + " is not a firmware image the device can take: " +
                         std::string(StatusText(s)));
                return false;
            }
            length = layout.length();
        }
        if (const Error e = CheckBackupPlace(job_.options.backup); e.Failed()) {
            Fail(E_BACKUP_FAILED, step_,
                 "no backup of the device's flash can be kept: " + e.What());
            return false;
        }
        return true;
    }

    bool KeepBackup(std::span<const std::uint8_t> flash, bool valid) {
        const BackupPolicy& policy = job_.options.backup;
        if (policy.kind == BackupPolicy::Kind::kNone) {
            return true;
        }
        BackupOutcome& backup = out_.backup;
        if (const Error e = WriteBackup(policy, job_.device, std::chrono::system_clock::now(),
                                        flash, backup.path, out_.unit);
            e.Failed()) {
            Fail(E_BACKUP_FAILED, step_,
                 "no backup of the device's flash could be written: " + e.What());
            return false;
        }
        backup.valid = valid;
        if (valid) {
            backup.restoreFrom = backup.path;
            progress_.Note("old flash saved to " + backup.path +
                           (readBack_.readTwice ? " (every chunk read twice)"
                                                : " (image region confirmed; the rest read once)"));
            return true;
        }
        FindEarlierBackups(backup, job_.device, flash, out_.unit, job_.options.historyPath);
        progress_.Note(
            "old flash saved to " + backup.path + ", but it is not a valid image; " +
            (!backup.restoreFrom.empty()
                 ? "the newest earlier valid backup of this device is " + backup.restoreFrom
             : backup.unitUnknown
                 ? std::string("the unit cannot be told (no information block, no USB serial "
                               "number), so none of the earlier backups is known to be its own")
                 : std::string("no earlier valid backup of this device was found")));
        return true;
    }

    bool Merge(std::span<std::uint8_t> flash, std::uint32_t& length) {
        static const SystemClock systemClock;
        const Clock& clock = job_.options.clock != nullptr ? *job_.options.clock : systemClock;
        length = static_cast<std::uint32_t>(job_.image.size());
        const Status s =
            MergeFirmware(flash, job_.image, length, clock, progress_, &out_.deviceInfoCarried);
        if (s == E_FIRMWARE_NO_DEVICE_INFO) {
            Fail(s, step_,
                 Quoted(job_.imagePath) +
                     " has no device-info record, and the device's flash holds one: writing it "
                     "would erase the device's own information block");
            return false;
        }
        if (Failed(s)) {
            Fail(s, step_,
                 Quoted(job_.imagePath) + " cannot be merged: " + std::string(StatusText(s)));
            return false;
        }
        if (length > FlashSize) {
            Fail(E_IMAGE_RESULT_TOO_LONG, step_, std::string(StatusText(E_IMAGE_RESULT_TOO_LONG)));
            return false;
        }
        return true;
    }

    // A restore's Stage 2: the saved image, if it is this device's.
    bool TakeSavedImage(std::span<std::uint8_t> flash) {
        const auto own = DeviceData(flash);
        const auto saved = DeviceData(job_.image);
        if (badChecksum_ &&
            !(own && saved && std::equal(own->begin(), own->end(), saved->begin(), saved->end()))) {
            Fail(E_RESTORE_OTHER_DEVICE, step_,
                 Quoted(job_.imagePath) +
                     " does not add up, and is written only onto the device it was saved from, "
                     "even with --force: " +
                     (own ? "its information block differs from the one this device holds"
                          : "this device's flash holds no readable information block"));
            return false;
        }
        if (!own) {
            const DeviceEntry& d = job_.device;
            const auto sameSerial =
                BackupsOfSerial(job_.options.historyPath, d.vendorId, d.productId, d.serial);
            const bool ownBackup =
                std::any_of(sameSerial.begin(), sameSerial.end(),
                            [&](const std::string& b) { return SameFile(b, job_.imagePath); });
            const std::string unknown =
                "the device's flash holds no readable information block" +
                std::string(d.serial.empty() ? " and it has no USB serial number" : "") +
                ", so it cannot be told whether " + Quoted(job_.imagePath) +
                " was saved from this unit";
            if (!ownBackup && !job_.options.force) {
                Fail(E_RESTORE_OTHER_DEVICE, step_, unknown + " (--force writes it anyway)");
                return false;
            }
            if (!ownBackup) {
                progress_.Note("forced: " + unknown);
            }
        } else if (saved && !std::equal(own->begin(), own->end(), saved->begin(), saved->end())) {
            if (!job_.options.force) {
                Fail(E_RESTORE_OTHER_DEVICE, step_,
                     Quoted(job_.imagePath) +
                         " was saved from another device: its information block (serial number, "
                         "calibration) differs from the one this device holds");
                return false;
            }
            out_.deviceInfoReplaced = true;
            progress_.Note(
                "forced: this device's own information block (serial number, "
                "calibration) is overwritten with the one in " +
                Quoted(job_.imagePath));
        }
        progress_.SetOperation(Operation::kCopy);
        std::copy(job_.image.begin(), job_.image.end(), flash.begin());
        AdvanceStage(progress_, kStageBarMax);
        progress_.SetOperation(Operation::kComplete);
        return true;
    }

    void Log() {
        const bool restore = Restore();
        if (out_.upToDate) {
            EventContext done = context_;
            done.result = "up-to-date";
            ReportJobEvent(job_, kEventAlreadyCurrent, done);
            return;
        }
        if (out_.Succeeded()) {
            EventContext done = context_;
            done.result = "success";
            ReportJobEvent(job_, restore ? kEventFlashRestored : kEventFirmwareUpdated, done);
            return;
        }
        ReportJobFailure(job_, out_.failure, context_);
    }

    // Every job that ran goes into the history, however it ended; a history
    // that cannot be written is told, but changes nothing of the job.
    void Record() {
        if (job_.options.historyPath.empty()) {
            return;
        }
        const bool restore = Restore();
        HistoryRecord r;
        r.time = UtcNow();
        r.program = job_.program;
        r.operation = restore ? "restore" : "update";
        r.devicePath = job_.device.path;
        if (!out_.unit.empty()) {
            r.unit = out_.unit;
        }
        if (!out_.serial.empty()) {
            r.serial = out_.serial;
        }
        r.vendorId = job_.device.vendorId;
        r.productId = job_.device.productId;
        r.revision = job_.device.revision;
        r.firmwarePath = job_.imagePath;
        r.firmwareSize = job_.image.size();
        r.firmwareSha256 = context_.firmwareSha256;
        r.result = !out_.Succeeded() ? "failed"
                   : out_.upToDate   ? "up-to-date"
                   : restore         ? "restored"
                                     : "updated";
        char status[16];
        std::snprintf(status, sizeof status, "0x%08X", static_cast<unsigned>(out_.status));
        r.status = status;
        r.message = out_.failure;
        r.deviceState = std::string(DeviceHoldsText(out_.device));
        r.backup = out_.backup.path;
        r.signingKey = job_.options.signingKey;
        if (const Error e = AppendHistory(job_.options.historyPath, r); e.Failed()) {
            // Told on the terminal and in the log: the desktop application
            // has no other place where a lost record would be noticed.
            out_.historyFailure = "the update history was not written: " + e.What();
            progress_.Note(out_.historyFailure);
            ReportSystemEvent(kEventHistoryWarning,
                              job_.device.path + ": " + out_.historyFailure + ".", context_);
        }
    }

    static std::string UtcNow() {
        const std::time_t t = std::time(nullptr);
        std::tm utc{};
        gmtime_r(&t, &utc);
        char text[32];
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
        return text;
    }

    const UpdateJob& job_;
    UpdateProgress& progress_;
    EventContext context_;
    UpdateOutcome out_;
    ReadBackReport readBack_;
    UpdateStep step_ = UpdateStep::kPrecondition;
    bool buildBegun_ = false;
    // A restore of a saved flash whose checksum does not add up, forced.
    bool badChecksum_ = false;
};

}  // namespace

std::string_view DeviceHoldsText(DeviceHolds holds) {
    switch (holds) {
        case DeviceHolds::kUntouched:
            return "untouched";
        case DeviceHolds::kPartlyWritten:
            return "partly written";
        case DeviceHolds::kNewImage:
        case DeviceHolds::kNewImageUnverified:
            return "updated";
        case DeviceHolds::kWrittenDiffers:
            return "written, differs";
        case DeviceHolds::kWrittenUnchecked:
            return "written, unchecked";
    }
    return "unknown";
}

std::string_view UpdateStepName(UpdateStep step) {
    switch (step) {
        case UpdateStep::kNone:
            return "none";
        case UpdateStep::kPrecondition:
            return "start";
        case UpdateStep::kReadBack:
            return "read-back";
        case UpdateStep::kBackup:
            return "backup";
        case UpdateStep::kMerge:
            return "merge";
        case UpdateStep::kWrite:
            return "write";
        case UpdateStep::kVerify:
            return "verify";
    }
    return "unknown";
}

std::uint64_t ExpectedRequests(std::uint32_t imageLength, bool verify) {
    const std::uint64_t writes = (std::uint64_t{imageLength} + ChunkSize - 1) / ChunkSize;
    return 1 + std::uint64_t{ChunkCount} + writes * (verify ? 2 : 1);
}

UpdateOutcome RunUpdateJob(const UpdateJob& job, UpdateProgress& progress) {
    return JobRun(job, progress).Run();
}

UpdateRun::~UpdateRun() {
    Join();
}

void UpdateRun::Join() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool UpdateRun::Start(const UpdateJob& job, UpdateProgress& progress,
                      const ThreadStarter& starter) {
    Join();
    const bool restore = job.options.mode == UpdateMode::kRestore;
    ReportJobEvent(job, restore ? kEventRestoreStarted : kEventUpdateStarted, JobContext(job));
    std::function<void()> body = [job, &progress] { RunUpdateJob(job, progress); };
    try {
        thread_ = starter ? starter(std::move(body)) : std::thread(std::move(body));
        return true;
    } catch (const std::system_error&) {
        // Nothing else would ever end the job: end it here, on this thread.
    }
    UpdateOutcome out;
    out.mode = job.options.mode;
    out.status = E_WORKER_START;
    out.endedIn = UpdateStep::kPrecondition;
    out.failure = "the system would not create the update's thread";
    ReportJobFailure(job, out.failure, JobContext(job));
    progress.Finish(std::move(out));
    return false;
}

}  // namespace sovra
