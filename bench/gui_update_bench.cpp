// What a whole update costs the host through the real progress dialog, on
// Qt's offscreen platform, against an in-process device that answers at
// once: the two reads of the flash, the merge, the 4096 writes and their
// check (16,385 requests), the same job bench/update_bench runs without a
// front end, and the user-interface thread reading what the job publishes.
//
//   BM_GuiUpdate   wall time from the dialog's initialisation to the result
//                  shown with CLOSE enabled; counters:
//                    cpu_ms        CPU time of the whole process (both threads)
//                    ui_cpu_ms     the user-interface thread's share of it
//                    ui_stall_max  the longest the user-interface thread
//                                  could not answer, in ms (a 1 ms heartbeat's
//                                  longest gap beyond its period): what a
//                                  user would feel as a frozen window
//                    refreshes     times the user-interface thread read the
//                                  published state (notifications and ticks)
//                    init_ms       the dialog's initialisation (texts, bars,
//                                  timer, font, starting the worker)
//   BM_EngineAlone the same job through the engine with no front end
//   BM_IdleHeartbeat  the heartbeat alone: the stalls the machine causes

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <vector>

#include "bench/bench_jobs.h"
#include "bench/bench_main.h"
#include "flash/flash_stages.h"
#include "ui/application.h"
#include "ui/progress_dialog.h"

namespace sovra::ui {
namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// CPU time of this process (CLOCK_PROCESS_CPUTIME_ID) or this thread.
double CpuMs(clockid_t clock) {
    timespec ts{};
    ::clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// How long the user-interface thread stays unable to answer: a 1 ms
// heartbeat on it, and the longest gap between two beats beyond that
// millisecond. Input would have waited as long.
class Heartbeat {
  public:
    explicit Heartbeat(std::function<void()> onBeat) : onBeat_(std::move(onBeat)) {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(1);
        QObject::connect(&timer_, &QTimer::timeout, [this] { Beat(); });
    }
    void Start() {
        last_ = Clock::now();
        timer_.start();
    }
    void Beat() {
        const Clock::time_point now = Clock::now();
        const Clock::duration gap = now - last_ - std::chrono::milliseconds(1);
        longest_ = std::max(longest_, gap);
        last_ = now;
        onBeat_();
    }
    Clock::duration Longest() const { return longest_; }

  private:
    std::function<void()> onBeat_;
    QTimer timer_;
    Clock::time_point last_;
    Clock::duration longest_{};
};

void BM_GuiUpdate(benchmark::State& state) {
    bench::QuietLog();
    const std::vector<std::uint8_t> flash = MakeSampleFlash({.seed = 5});
    double longest = 0;
    double uiCpu = 0;
    double cpu = 0;
    double refreshes = 0;
    double init = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto model = std::make_shared<sim::BeamformerModel>(flash);
        auto dlg = std::make_unique<ProgressDialog>();
        dlg->SetJob(bench::Job(model));
        dlg->show();
        QCoreApplication::processEvents();
        QEventLoop loop;
        QObject::connect(dlg.get(), &ProgressDialog::updateEnded, &loop, &QEventLoop::quit);
        Heartbeat heartbeat([] {});
        const double cpuBefore = CpuMs(CLOCK_PROCESS_CPUTIME_ID);
        const double uiCpuBefore = CpuMs(CLOCK_THREAD_CPUTIME_ID);
        state.ResumeTiming();

        heartbeat.Start();
        const Clock::time_point initStart = Clock::now();
        dlg->Prepare();
        init += Ms(Clock::now() - initStart);
        loop.exec();

        state.PauseTiming();
        cpu += CpuMs(CLOCK_PROCESS_CPUTIME_ID) - cpuBefore;
        uiCpu += CpuMs(CLOCK_THREAD_CPUTIME_ID) - uiCpuBefore;
        longest = std::max(longest, Ms(heartbeat.Longest()));
        refreshes += static_cast<double>(dlg->Refreshes());
        const auto outcome = dlg->Outcome();
        if (!outcome || !outcome->Succeeded() ||
            model->RequestCount() != 1 + 4096 + UncoveredChunks(flash).size() + 2 * 4096) {
            state.SkipWithError("update failed");
        }
        dlg.reset();
        state.ResumeTiming();
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["cpu_ms"] = cpu / n;
    state.counters["ui_cpu_ms"] = uiCpu / n;
    state.counters["ui_stall_max"] = longest;
    state.counters["refreshes"] = refreshes / n;
    state.counters["init_ms"] = init / n;
}
BENCHMARK(BM_GuiUpdate)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// The same job through the engine alone, in this process, with no front
// end: what BM_GuiUpdate is measured against.
void BM_EngineAlone(benchmark::State& state) {
    bench::QuietLog();
    const std::vector<std::uint8_t> flash = MakeSampleFlash({.seed = 5});
    double cpu = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::vector<UpdateJob> jobs{
            bench::Job(std::make_shared<sim::BeamformerModel>(flash))};
        const double cpuBefore = CpuMs(CLOCK_PROCESS_CPUTIME_ID);
        state.ResumeTiming();
        const bool succeeded = bench::RunJobs(jobs);
        state.PauseTiming();
        cpu += CpuMs(CLOCK_PROCESS_CPUTIME_ID) - cpuBefore;
        if (!succeeded) {
            state.SkipWithError("update failed");
        }
        state.ResumeTiming();
    }
    state.counters["cpu_ms"] = cpu / static_cast<double>(state.iterations());
}
BENCHMARK(BM_EngineAlone)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// The same heartbeat with nothing to do, for as long as an update takes:
// what the machine itself costs the user-interface thread (other programs,
// the scheduler), to read ui_stall_max against.
void BM_IdleHeartbeat(benchmark::State& state) {
    double longest = 0;
    for (auto _ : state) {
        QEventLoop loop;
        int beats = 0;
        Heartbeat heartbeat([&] {
            if (++beats == 30) {
                loop.quit();
            }
        });
        heartbeat.Start();
        loop.exec();
        longest = std::max(longest, Ms(heartbeat.Longest()));
    }
    state.counters["ui_stall_max"] = longest;
}
BENCHMARK(BM_IdleHeartbeat)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace
}  // namespace sovra::ui

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", /*overwrite=*/0);
    QApplication app(argc, argv);
    sovra::ui::PrepareUserInterface();
    return sovra::bench::RunBenchmarks(argc, argv);
}
