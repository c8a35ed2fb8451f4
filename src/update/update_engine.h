#pragma once
// The update engine both programs use: one job updates (or restores) one
// device, on a worker thread, publishing its progress one way (see
// UpdateProgress) and ending with an outcome.
//
// A job keeps the device's data safe in this order, stopping at the first
// step that fails with the device untouched until Stage 3:
//   1. preconditions: a device, an image the flash can take, a place where
//      the backup can be written;
//   2. Stage 1: the whole flash read once and trusted when the image in it
//      vouches for itself, else read twice and kept only where two reads
//      agree (see ReadFlash); a read-back that is not a valid flash is said
//      so (log and notes);
//   3. the backup of that read-back, before anything is written;
//   4. Stage 2: the merge (a firmware file that would erase the device's own
//      information block is refused), or for a restore the saved image,
//      refused when it holds another device's block unless forced;
//   5. Stage 3: the write, then the written range read back and compared.
// Cancellation is heeded until Stage 3 begins, never while writing. From
// the first request to the end the job holds logind's lock on shutdown and
// sleep, when the system offers one.
//
// The job writes the system-log entries of its stages and its end, and a
// record of how it ended to the update history; the start entry comes from
// UpdateRun::Start, on the thread that starts it.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <thread>

#include "app/filetime.h"
#include "device/device_rules.h"
#include "flash/flash_command.h"
#include "update/state.h"
#include "update/update_outcome.h"
#include "update/update_progress.h"

namespace sovra {

struct UpdateOptions {
    UpdateMode mode = UpdateMode::kMerge;
    BackupPolicy backup;
    // Read the written range back and compare it.
    bool verify = true;
    // A restore: write a saved image whose information block differs from
    // the device's own, or onto a device whose own cannot be told.
    bool force = false;
    // An update: leave a device alone that already holds this firmware
    // (the image built with the update time it holds equals its flash over
    // every chunk the update would write). The desktop application writes
    // what its user confirmed.
    bool skipWhenCurrent = false;
    // Where the merge takes "now" from; null: the system clock.
    const Clock* clock = nullptr;
    // Set from any thread to stop the job; heeded until Stage 3 begins.
    const std::atomic<bool>* cancel = nullptr;
    // Where the job's record goes when it has run (see update/state.h);
    // empty: nowhere.
    std::string historyPath = DefaultHistoryPath();
    // The fixed system-log entries ("Load Stage 1 of 3.") begin with the
    // device's node and ": ", for a program whose updates run side by side.
    bool nameDeviceInLog = false;
    // For the history: the fingerprint of the key that signed the catalogue
    // the firmware was chosen from; empty when unsigned.
    std::string signingKey;
};

struct UpdateJob {
    // The program that runs it, as the update history names it.
    std::string program;
    // The device; null when none could be bound.
    std::shared_ptr<DeviceChannel> channel;
    // Its ids and node: the backup's name and the log's sentences.
    DeviceEntry device;
    // The firmware file (an update) or the saved flash (a restore): its
    // path for the sentences, and its bytes, lent until the job has ended.
    std::string imagePath;
    std::span<const std::uint8_t> image;
    UpdateOptions options;
};

// Runs the job on the calling thread and publishes its end on `progress`
// as the last thing it does (Finish), then returns the same outcome.
UpdateOutcome RunUpdateJob(const UpdateJob& job, UpdateProgress& progress);

// Requests a whole job makes when nothing fails, as far as they are known
// before the flash is read: the prepare request, one read of every chunk,
// the writes and, when verifying, their read-back. The read adds its
// confirming reads, or a second read, when it finds it needs them.
std::uint64_t ExpectedRequests(std::uint32_t imageLength, bool verify);

// The worker thread of one job.
class UpdateRun {
  public:
    // How a thread is made; tests substitute one that fails.
    using ThreadStarter = std::function<std::thread(std::function<void()>)>;

    UpdateRun() = default;
    // Waits for the worker, which after publishing its end has nothing left
    // but to return.
    ~UpdateRun();
    UpdateRun(const UpdateRun&) = delete;
    UpdateRun& operator=(const UpdateRun&) = delete;

    // Reports the start to the system log and runs the job on a new thread.
    // The job's image and `progress` must stay until the run has been
    // joined. When no thread can be had, the job ends at once as failed
    // (E_WORKER_START, logged, published on `progress`) and false is
    // returned.
    bool Start(const UpdateJob& job, UpdateProgress& progress, const ThreadStarter& starter = {});
    void Join();
    bool Running() const { return thread_.joinable(); }

  private:
    std::thread thread_;
};

}  // namespace sovra
