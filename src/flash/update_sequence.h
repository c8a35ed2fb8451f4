#pragma once
// One update of one device, run on a worker thread against an UpdateView:
// Stage 1 reads the whole flash back, Stage 2 builds the new image in
// place, Stage 3 writes it. Every request's status counts: a failed read
// ends the update before anything is written, a refused merge ends it
// before Stage 3, a failed write ends it at once; the window then shows the
// failure.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <thread>
#include <vector>

#include "app/filetime.h"
#include "app/status.h"
#include "flash/flash_command.h"
#include "flash/update_view.h"

namespace sovra {

enum class UpdateMode {
    kMerge,    // the firmware file merged with the read-back (the usual update)
    kRestore,  // a whole 256 KiB dump written back as it is
};

// Where a run ended; kNone when it went to the end.
enum class UpdateStep {
    kNone,
    kPrecondition,  // refused before anything was sent
    kReadBack,      // Stage 1
    kKeepReadBack,  // the caller's copy of the read-back (a backup file)
    kMerge,         // Stage 2
    kWrite,         // Stage 3
    kVerify,        // the read-back after writing
};

struct UpdateOptions {
    UpdateMode mode = UpdateMode::kMerge;
    // Read the written range back after Stage 3 and compare it.
    bool verify = false;
    // Given the Stage 1 read-back before anything is written; a failure
    // status ends the update there, with the device untouched.
    std::function<Status(std::span<const std::uint8_t> readBack)> keepReadBack;
    // Where the merge takes "now" from; null: the system clock.
    const Clock* clock = nullptr;
    // Set (from any thread) to stop the update. Heeded between the reads
    // of Stage 1 and before Stage 3 begins, never once writing has begun:
    // a flash left half written is worse than waiting for the end.
    const std::atomic<bool>* cancel = nullptr;
};

struct UpdateResult {
    Status status = S_OK;
    UpdateStep endedIn = UpdateStep::kNone;
    // Write requests handed to the device: 0 means its flash is untouched.
    std::uint32_t writesSent = 0;
    // Length of the image Stage 3 wrote or was to write; 0 before Stage 2.
    std::uint32_t imageLength = 0;
};

// What an update works on. The caller lends the firmware bytes and keeps
// them, and this context, alive until the worker's last call to the view.
struct UpdateContext {
    UpdateContext() = default;
    UpdateContext(std::shared_ptr<DeviceChannel> ch, std::span<const std::uint8_t> bytes);

    // The device; null when none could be bound.
    std::shared_ptr<DeviceChannel> channel;
    // The firmware file's bytes.
    std::span<const std::uint8_t> image;
    // Bytes of `image` to use; Stage 2 replaces it with the new image's
    // length.
    std::uint32_t imageLength = 0;
    // FlashSize bytes from Stage 1 to the end of the sequence, else empty.
    std::vector<std::uint8_t> flashImage;
    UpdateOptions options;
    UpdateResult result;
};

// The sequence: two preconditions (with their message boxes), then the
// stages, each stopping at the first failure. Frees the flash image on
// every path. Returns S_OK or the first failure's status.
Status RunUpdateSequence(UpdateView& view, UpdateContext& context);

// Stage 1: the prepare request and 4096 reads into the flash image.
Status ReadFirmware(UpdateView& view, UpdateContext& context);
// Stage 3: ceil(imageLength / 64) writes from the flash image.
Status WriteFirmware(UpdateView& view, UpdateContext& context);
// The written chunks read back and compared with the flash image.
Status VerifyFirmware(UpdateView& view, UpdateContext& context);

// The worker's whole run: the sequence, its entry in the system log, then
// the result on the view. Enabling CLOSE is its last touch of the view and
// of the context, so the window may go as soon as the user can close it.
// Without a view it does nothing. Returns the sequence's status.
Status UpdateThreadProc(UpdateView* view, UpdateContext& context);

// Owns the thread of one update.
class UpdateWorker {
  public:
    // How a thread is made; tests substitute one that fails.
    using ThreadStarter = std::function<std::thread(std::function<void()>)>;

    UpdateWorker() = default;
    // Waits for the thread, which by then has nothing left but to return
    // once the view has been told to enable CLOSE.
    ~UpdateWorker();
    UpdateWorker(const UpdateWorker&) = delete;
    UpdateWorker& operator=(const UpdateWorker&) = delete;

    // Reports that the update starts and runs UpdateThreadProc on a new
    // thread. When no thread can be had, shows the failure on the view from
    // the calling thread (CLOSE enabled, so the window is never stuck),
    // sets context.result and returns false.
    bool Start(UpdateView& view, UpdateContext& context, const ThreadStarter& starter = {});

    // Waits for the thread to end. From the view's own thread, call it only
    // after the view has carried out EnableClose(): before that the worker
    // may be waiting for that thread.
    void Join();
    bool Running() const { return thread_.joinable(); }

  private:
    std::thread thread_;
};

}  // namespace sovra
