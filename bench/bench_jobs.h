#pragma once
// What the update benchmarks share: a firmware that fills the flash, a job
// against an in-process device that writes nothing to disk, and running
// jobs to their end.

#include <algorithm>
#include <memory>
#include <span>
#include <vector>

#include "app/event_log.h"
#include "flash/sample_image.h"
#include "sim/in_process_channel.h"
#include "update/update_engine.h"

namespace sovra::bench {

// Header word, the device-info record (66 words), one record of 2 + 65464
// words, end marker, the word after it and the checksum: exactly the flash,
// so Stage 3 writes all 4096 chunks.
inline const std::vector<std::uint8_t>& FullFirmware() {
    static const std::vector<std::uint8_t> image =
        MakeSampleImage({.records = 1, .wordsPerRecord = 65464});
    return image;
}

// Entries go nowhere: a benchmark has no business in the system log.
inline void QuietLog() {
    OverrideSystemLogSocket("/nonexistent/sovra-bench-log");
}

// An update of `model` with `image`, without a backup or a history entry: a
// file written and synced to disk would measure the disk.
inline UpdateJob Job(std::shared_ptr<sim::BeamformerModel> model,
                     std::span<const std::uint8_t> image = FullFirmware(), bool verify = true) {
    UpdateJob job;
    job.channel = std::make_shared<sim::InProcessChannel>(std::move(model), /*record=*/false);
    job.device = {0xabc, 0x10, 0x102, "/dev/bus/usb/001/002"};
    job.imagePath = "bench.img";
    job.image = image;
    job.options.backup = BackupPolicy::None();
    job.options.historyPath.clear();
    job.options.verify = verify;
    return job;
}

// Runs the jobs side by side on their worker threads, as both programs run
// one; false when one did not succeed.
inline bool RunJobs(const std::vector<UpdateJob>& jobs) {
    std::vector<UpdateProgress> progress(jobs.size());
    std::vector<UpdateRun> runs(jobs.size());
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        runs[i].Start(jobs[i], progress[i]);
    }
    for (UpdateRun& run : runs) {
        run.Join();
    }
    return std::all_of(progress.begin(), progress.end(), [](const UpdateProgress& p) {
        return p.Outcome() && p.Outcome()->Succeeded();
    });
}

}  // namespace sovra::bench
