// What a whole update costs the host: 8193 requests to an in-process device
// that answers at once, the merge, and the progress display.
//
//   BM_Update/direct     the view is called on the worker's own thread
//   BM_Update/ui_thread  every change hops to a "user-interface" thread and
//                        waits for it, as a window's changes do
//   BM_Parallel/N        N devices with 300 us per request, one worker each
//                        (wall time; compare N=4 with N=1)

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "app/event_log.h"
#include "flash/sample_image.h"
#include "flash/update_sequence.h"
#include "sim/beamformer_model.h"
#include "sim/in_process_channel.h"
#include "tests/support/ui_thread_view.h"

namespace sovra {
namespace {

// The controls and nothing else: what a window keeps.
class BarsView final : public UpdateView {
  public:
    int StagePosition() override { return stage_; }
    void SetStagePosition(int p) override { stage_ = p; }
    void StepOverall() override { overall_ += step_; }
    void SetOperationText(std::string_view t) override { operation_ = t; }
    void ShowOperationText(std::string_view t) override { label_ = t; }
    void SetStageRange(int, int) override {}
    void SetOverallRange(int, int) override {}
    void SetOverallPosition(int p) override { overall_ = p; }
    void SetOverallStep(int s) override { step_ = s; }
    int OverallPosition() override { return overall_; }
    void SetStageText(std::string_view t) override { stageText_ = t; }
    void ShowMessageBox(std::string_view, std::string_view) override {}
    void BeginWaitCursor() override {}
    void EndWaitCursor() override {}
    void StopTimer() override {}
    void SetTextColour(Colour c) override { colour_ = c; }
    void SetMessageText(std::string_view t) override { message_ = t; }
    void EnableClose() override { closable_ = true; }

    int overall_ = 0;

  private:
    int stage_ = 0;
    int step_ = 1;
    Colour colour_ = 0;
    bool closable_ = false;
    std::string operation_, label_, stageText_, message_;
};

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

void BM_Update(benchmark::State& state) {
    QuietLog();
    const bool hop = state.range(0) != 0;
    const auto flash = MakeSampleFlash({.seed = 5});
    long requests = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto model = std::make_shared<sim::BeamformerModel>(flash);
        auto channel = std::make_shared<sim::InProcessChannel>(model, false);
        UpdateContext context(channel, Firmware());
        BarsView window;
        auto ui = hop ? std::make_unique<testing::UiThreadView>(window) : nullptr;
        UpdateView& view = hop ? static_cast<UpdateView&>(*ui) : window;
        state.ResumeTiming();

        const Status s = UpdateThreadProc(&view, context);

        state.PauseTiming();
        if (Failed(s)) {
            state.SkipWithError("update failed");
        }
        requests = static_cast<long>(model->RequestCount());
        if (ui) {
            state.counters["hops"] = static_cast<double>(ui->Hops());
        }
        ui.reset();
        state.ResumeTiming();
    }
    state.counters["requests"] = static_cast<double>(requests);
}
BENCHMARK(BM_Update)
    ->ArgName("ui_thread")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()  // the UI thread's share counts too
    ->UseRealTime();

void BM_Parallel(benchmark::State& state) {
    QuietLog();
    const auto devices = static_cast<std::size_t>(state.range(0));
    const auto flash = MakeSampleFlash({.seed = 5});
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<std::shared_ptr<sim::InProcessChannel>> channels;
        std::vector<std::unique_ptr<UpdateContext>> contexts;
        std::vector<std::unique_ptr<BarsView>> views;
        for (std::size_t i = 0; i < devices; ++i) {
            auto model = std::make_shared<sim::BeamformerModel>(
                flash, sim::FaultPlan{.latency = std::chrono::microseconds(300)});
            channels.push_back(std::make_shared<sim::InProcessChannel>(model, false));
            contexts.push_back(std::make_unique<UpdateContext>(channels.back(), Firmware()));
            views.push_back(std::make_unique<BarsView>());
        }
        std::vector<UpdateWorker> workers(devices);
        state.ResumeTiming();

        for (std::size_t i = 0; i < devices; ++i) {
            workers[i].Start(*views[i], *contexts[i]);
        }
        for (auto& w : workers) {
            w.Join();
        }

        state.PauseTiming();
        for (const auto& c : contexts) {
            if (Failed(c->result.status)) {
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
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace sovra

BENCHMARK_MAIN();
