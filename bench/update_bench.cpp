// The host's cost of a whole update through the update engine alone, with
// no front end, on a zero-latency in-process device; and several devices
// updated at once against one.

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <vector>

#include "app/event_log.h"
#include "flash/flash_stages.h"
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

UpdateJob Job(std::shared_ptr<DeviceChannel> channel, bool verify) {
    UpdateJob job;
    job.channel = std::move(channel);
    job.device = {0xabc, 0x10, 0x102, "/dev/bus/usb/001/002"};
    job.imagePath = "bench.img";
    job.image = Firmware();
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

// Stage 1 as an update reads it (every chunk twice, compared) against one
// plain pass: what trusting the read-back costs the host.
void BM_ReadBack(benchmark::State& state) {
    const bool twice = state.range(0) != 0;
    auto model = std::make_shared<sim::BeamformerModel>(MakeSampleFlash({.seed = 5}));
    sim::InProcessChannel channel(model, false);
    std::vector<std::uint8_t> flash(FlashSize);
    for (auto _ : state) {
        if (twice) {
            NullProgress progress;
            ReadBackReport report;
            std::string failure;
            if (Failed(ReadFlash(channel, flash, progress, nullptr, report, failure))) {
                state.SkipWithError("read failed");
            }
        } else {
            bool ok = Succeeded(SendPrepare(channel));
            for (std::uint32_t k = 0; k < ChunkCount && ok; ++k) {
                ok = Succeeded(ReadChunk(channel, k * ChunkSize, flash));
            }
            if (!ok) {
                state.SkipWithError("read failed");
            }
        }
        benchmark::DoNotOptimize(flash.data());
    }
}
BENCHMARK(BM_ReadBack)->ArgName("twice")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

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
