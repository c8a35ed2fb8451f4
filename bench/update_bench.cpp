// The host's cost of a whole update through the update engine alone, with
// no front end, on a zero-latency in-process device; what reading the flash
// once or twice costs an update at several device latencies; and several
// devices updated at once against one.

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <span>
#include <vector>

#include "app/event_log.h"
#include "flash/sample_image.h"
#include "sim/beamformer_model.h"
#include "sim/in_process_channel.h"
#include "update/update_engine.h"

namespace sovra {
namespace {

const std::vector<std::uint8_t>& Firmware() {
    static const std::vector<std::uint8_t> image = [] {
        // Header word, the device-info record (66 words), one record of
        // 2 + 65464 words, end marker, the word after it and the checksum:
        // exactly the flash, so Stage 3 writes all 4096 chunks.
        SampleImageOptions o;
        o.records = 1;
        o.wordsPerRecord = 65464;
        return MakeSampleImage(o);
    }();
    return image;
}

// Entries go nowhere: a benchmark has no business in the system log.
void QuietLog() {
    OverrideSystemLogSocket("/nonexistent/sovra-bench-log");
}

UpdateJob Job(std::shared_ptr<DeviceChannel> channel, bool verify,
              std::span<const std::uint8_t> image = Firmware()) {
    UpdateJob job;
    job.channel = std::move(channel);
    job.device = {0xabc, 0x10, 0x102, "/dev/bus/usb/001/002"};
    job.imagePath = "bench.img";
    job.image = image;
    // No backup: a file written and synced to disk would measure the disk.
    job.options.backup = BackupPolicy::None();
    job.options.historyPath.clear();
    job.options.verify = verify;
    return job;
}

// One whole job on its worker thread, as both programs run it.
void BM_EngineUpdate(benchmark::State& state) {
    QuietLog();
    const bool verify = state.range(0) != 0;
    const auto flash = MakeSampleFlash({.seed = 5});
    std::uint64_t requests = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto model = std::make_shared<sim::BeamformerModel>(flash);
        const UpdateJob job = Job(std::make_shared<sim::InProcessChannel>(model, false), verify);
        UpdateProgress progress;
        state.ResumeTiming();

        UpdateRun run;
        run.Start(job, progress);
        run.Join();

        state.PauseTiming();
        if (!progress.Outcome() || !progress.Outcome()->Succeeded()) {
            state.SkipWithError("update failed");
        }
        requests = model->RequestCount();
        state.ResumeTiming();
    }
    state.counters["requests"] = static_cast<double>(requests);
}
BENCHMARK(BM_EngineUpdate)
    ->ArgName("verify")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

// A typical firmware: about 62 KB, so about 970 chunks written and as
// many read back to check them.
const std::vector<std::uint8_t>& TypicalFirmware() {
    static const std::vector<std::uint8_t> image =
        MakeSampleImage({.records = 1, .wordsPerRecord = 15400});
    return image;
}

// A whole update of the typical firmware, verified, on a device whose every
// request takes `latency_us`: Stage 1 reading a valid image once and
// confirming it by its checksum, against the same flash with its checksum
// broken, which the image cannot vouch for and which is read twice.
void BM_ReadOnceOrTwice(benchmark::State& state) {
    QuietLog();
    const bool twice = state.range(0) != 0;
    const sim::FaultPlan faults{.latency = std::chrono::microseconds(state.range(1))};
    auto flash = MakeSampleFlash({.seed = 5});
    if (twice) {
        flash[100] ^= 0x01;  // a data word of the first record
    }
    std::uint64_t requests = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto model = std::make_shared<sim::BeamformerModel>(flash, faults);
        const UpdateJob job =
            Job(std::make_shared<sim::InProcessChannel>(model, false), true, TypicalFirmware());
        UpdateProgress progress;
        state.ResumeTiming();

        UpdateRun run;
        run.Start(job, progress);
        run.Join();

        state.PauseTiming();
        if (!progress.Outcome() || !progress.Outcome()->Succeeded()) {
            state.SkipWithError("update failed");
        }
        requests = model->RequestCount();
        state.ResumeTiming();
    }
    state.counters["requests"] = static_cast<double>(requests);
}
BENCHMARK(BM_ReadOnceOrTwice)
    ->ArgNames({"twice", "latency_us"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
// Seconds per run: one run each says enough.
BENCHMARK(BM_ReadOnceOrTwice)
    ->ArgNames({"twice", "latency_us"})
    ->ArgsProduct({{0, 1}, {125, 500, 1000}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_Parallel(benchmark::State& state) {
    QuietLog();
    const auto devices = static_cast<std::size_t>(state.range(0));
    const auto flash = MakeSampleFlash({.seed = 5});
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<UpdateJob> jobs;
        for (std::size_t i = 0; i < devices; ++i) {
            auto model = std::make_shared<sim::BeamformerModel>(
                flash, sim::FaultPlan{.latency = std::chrono::microseconds(300)});
            jobs.push_back(Job(std::make_shared<sim::InProcessChannel>(model, false), true));
        }
        std::vector<UpdateProgress> progress(devices);
        std::vector<UpdateRun> runs(devices);
        state.ResumeTiming();

        for (std::size_t i = 0; i < devices; ++i) {
            runs[i].Start(jobs[i], progress[i]);
        }
        for (auto& r : runs) {
            r.Join();
        }

        state.PauseTiming();
        for (const auto& p : progress) {
            if (!p.Outcome() || !p.Outcome()->Succeeded()) {
                state.SkipWithError("update failed");
            }
        }
        state.ResumeTiming();
    }
}
BENCHMARK(BM_Parallel)
    ->ArgName("devices")
    ->Arg(1)
    ->Arg(4)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace sovra

BENCHMARK_MAIN();
