// The host's cost of a whole update through the update engine alone, with
// no front end, on a zero-latency in-process device; what reading the flash
// once or twice costs an update at several device latencies; and several
// devices updated at once against one.

#include <benchmark/benchmark.h>

#include <chrono>

#include "bench/bench_jobs.h"

namespace sovra::bench {
namespace {

// Times whole updates of `devices` devices at once, each holding `flash`
// and answering after `latency`; counts the requests one device received.
void TimeUpdates(benchmark::State& state, const std::vector<std::uint8_t>& flash,
                 std::chrono::microseconds latency, std::size_t devices,
                 std::span<const std::uint8_t> image, bool verify) {
    QuietLog();
    std::uint64_t requests = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<std::shared_ptr<sim::BeamformerModel>> models;
        std::vector<UpdateJob> jobs;
        for (std::size_t i = 0; i < devices; ++i) {
            models.push_back(
                std::make_shared<sim::BeamformerModel>(flash, sim::FaultPlan{.latency = latency}));
            jobs.push_back(Job(models.back(), image, verify));
        }
        state.ResumeTiming();
        const bool succeeded = RunJobs(jobs);
        state.PauseTiming();
        if (!succeeded) {
            state.SkipWithError("update failed");
        }
        requests = models.front()->RequestCount();
        state.ResumeTiming();
    }
    state.counters["requests"] = static_cast<double>(requests);
}

// One whole job on its worker thread, as both programs run it.
void BM_EngineUpdate(benchmark::State& state) {
    TimeUpdates(state, MakeSampleFlash({.seed = 5}), {}, 1, FullFirmware(), state.range(0) != 0);
}
BENCHMARK(BM_EngineUpdate)
    ->ArgName("verify")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

// A whole update of a typical firmware (about 62 KB, so about 970 chunks
// written and as many read back), verified, on a device whose every
// request takes `latency_us`: Stage 1 reading a valid image once and
// confirming it by its checksum, against the same flash with its checksum
// broken, which the image cannot vouch for and which is read twice.
void BM_ReadOnceOrTwice(benchmark::State& state) {
    static const std::vector<std::uint8_t> typical =
        MakeSampleImage({.records = 1, .wordsPerRecord = 15400});
    auto flash = MakeSampleFlash({.seed = 5});
    if (state.range(0) != 0) {
        flash[100] ^= 0x01;  // a data word of the first record
    }
    TimeUpdates(state, flash, std::chrono::microseconds(state.range(1)), 1, typical, true);
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
    TimeUpdates(state, MakeSampleFlash({.seed = 5}), std::chrono::microseconds(300),
                static_cast<std::size_t>(state.range(0)), FullFirmware(), true);
}
BENCHMARK(BM_Parallel)
    ->ArgName("devices")
    ->Arg(1)
    ->Arg(4)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace sovra::bench

BENCHMARK_MAIN();
