#pragma once
// How an update job ended and what the device holds afterwards: what both
// programs show, log and (for the command line) print as JSON.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/error.h"

namespace sovra {

enum class UpdateMode {
    kMerge,    // the firmware file merged with the device's read-back (an update)
    kRestore,  // a whole saved flash written back as it is
};

// Where a job ended; kNone when it went to the end.
enum class UpdateStep {
    kNone,
    kPrecondition,  // refused before anything was sent: no device, no image, no backup place
    kReadBack,      // Stage 1
    kBackup,        // keeping the read-back
    kMerge,         // Stage 2 (for a restore: the checks of the saved image against the device)
    kWrite,         // Stage 3
    kVerify,        // the read-back after writing
};

// What the device's flash holds when the job has ended.
enum class DeviceHolds {
    kUntouched,           // nothing was written to it
    kPartlyWritten,       // writing stopped part-way
    kNewImage,            // the whole image, read back and found equal
    kNewImageUnverified,  // the whole image, not read back (asked not to)
    kWrittenDiffers,      // the whole image was written, and reads back differently
    kWrittenUnchecked,    // the whole image was written, and could not be read back
};

// A backup of a model: the unit its name tells (empty for a name from
// before units were named) and when it was written, "2026-12-07T21:44:20Z".
struct ModelBackup {
    std::string path;
    std::string unit;
    std::string time;
};

struct BackupOutcome {
    std::string path;  // the backup written; empty when none was kept
    // Whether it holds a valid flash (records, end marker, checksum and a
    // device-info record). A read-back of a half-written flash does not.
    bool valid = false;
    // The backup that a repair should write back: `path` when valid, else the
    // newest earlier valid backup provably the same unit's, else empty.
    std::string restoreFrom;
    // When `path` is not valid and the unit cannot be told (no information
    // block, no USB serial number): the model's backups, newest first, for
    // a person to choose from.
    bool unitUnknown = false;
    std::vector<ModelBackup> modelBackups;
};

struct UpdateOutcome {
    UpdateMode mode = UpdateMode::kMerge;
    // The code the history, the JSON output and the exit codes show, and on
    // failure what failed and where (the request's address, the file),
    // without the device's name, so that each program can put its own in
    // front.
    Error error;
    UpdateStep endedIn = UpdateStep::kNone;
    DeviceHolds device = DeviceHolds::kUntouched;
    // Write requests handed to the device.
    std::uint32_t writesSent = 0;
    // Length of the image Stage 3 wrote or was to write; 0 before it is known.
    std::uint32_t imageLength = 0;
    // Set when the read-back did not walk as a valid flash: what is wrong
    // with it. The update goes on (the device's flash is what it is), but
    // its backup is marked and both programs say so.
    std::string readBackWarning;
    // Chunks of the read-back whose two reads differed and were read again.
    std::uint32_t rereadChunks = 0;
    // An update: whether the device's own information block went into the
    // new image. A restore: whether the saved image's block replaced a
    // different one the device held (only ever with force).
    bool deviceInfoCarried = false;
    bool deviceInfoReplaced = false;
    BackupOutcome backup;
    // The unit: its fingerprint (see UnitFingerprint), empty when its flash
    // was not read or holds no information block; its USB serial number
    // string, empty when it has none.
    std::string unit;
    std::string serial;
    // An update found the device already holding this firmware and wrote
    // nothing.
    bool upToDate = false;
    // Why the job's record could not be added to the update history; empty
    // when it was (or none was asked for).
    std::string historyFailure;

    bool Succeeded() const { return !error.Failed(); }
};

// "updated", "untouched", "partly written", "written, differs",
// "written, unchecked", "written, not verified": what the device holds, in
// the words the command line prints and its JSON carries.
std::string_view DeviceHoldsText(DeviceHolds holds);

// "start", "read-back", "backup", "merge", "write", "verify", "none".
std::string_view UpdateStepName(UpdateStep step);

// "failed", "up-to-date", "restored", "updated": how the job ended, as the
// history and the JSON output name it.
std::string_view ResultName(const UpdateOutcome& outcome);

// "0x80004005": a code as the history and the JSON output show it.
std::string StatusHex(Status s);

}  // namespace sovra
